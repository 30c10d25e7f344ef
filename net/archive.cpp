#include "archive.h"

#include <cstring>

namespace {

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const uint8_t* p, std::size_t units)
{
    std::string out;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        uint32_t u = p[2 * i] | (p[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            uint32_t lo = p[2 * i + 2] | (p[2 * i + 3] << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF)
            u = 0xFFFD;
        AppendUtf8(out, u);
    }
    return out;
}

} // namespace

std::size_t Utf16ToUtf8Size(const uint8_t* p, std::size_t units)
{
    // Mirrors Utf16ToUtf8 without building the string.
    std::size_t size = 0;
    for (std::size_t i = 0; i < units; ++i) {
        const uint32_t u = p[2 * i] | (p[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t lo = p[2 * i + 2] | (p[2 * i + 3] << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                size += 4;
                ++i;
                continue;
            }
        }
        size += u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
    }
    return size;
}

CArchive::CArchive(std::string& out, std::size_t room) : m_out(&out), m_pos(out.size())
{
    out.resize(m_pos + room);
}

CArchive::CArchive(std::string_view in, const DecodeLimits& limits) : m_in(in), m_limits(limits) {}

CArchive::~CArchive()
{
    if (m_out)
        m_out->resize(m_pos);
}

void CArchive::Grow(std::size_t n)
{
    // The string's capacity grows by doubling; what is made longer here is
    // only what the next fields need.
    m_out->resize(m_pos + n + 64);
}

void CArchive::WriteString(std::string_view s)
{
    const std::size_t n = s.size();
    if (n < 0xFF) {
        Write(static_cast<uint8_t>(n));
    } else if (n < 0xFFFE) {
        Write(uint8_t{0xFF});
        Write(static_cast<uint8_t>(n & 0xFF));
        Write(static_cast<uint8_t>(n >> 8));
    } else {
        Write(uint8_t{0xFF});
        Write(uint8_t{0xFF});
        Write(uint8_t{0xFF});
        Write(static_cast<uint32_t>(n));
    }
    if (!s.empty())
        std::memcpy(Room(s.size()), s.data(), s.size());
}

void CArchive::WriteCount(std::size_t n)
{
    if (n < 0xFFFF) {
        Write(static_cast<uint8_t>(n & 0xFF));
        Write(static_cast<uint8_t>(n >> 8));
    } else {
        Write(uint8_t{0xFF});
        Write(uint8_t{0xFF});
        Write(static_cast<uint32_t>(n));
    }
}

const uint8_t* CArchive::Take(std::size_t n)
{
    if (m_in.size() - m_pos < n)
        throw CArchiveException(CArchiveException::EndOfFile, "record ends early");
    const auto* p = reinterpret_cast<const uint8_t*>(m_in.data()) + m_pos;
    m_pos += n;
    return p;
}

uint8_t CArchive::ReadByte()
{
    return *Take(1);
}

uint16_t CArchive::ReadWord()
{
    const uint8_t* p = Take(2);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t CArchive::ReadDword()
{
    const uint8_t* p = Take(4);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

namespace {

// The prefix grammar's reader over an archive, which throws where the bytes
// run out instead of returning false.
struct CArchivePrefixReader
{
    CArchive& ar;

    bool Byte(uint32_t* v)
    {
        *v = ar.ReadByte();
        return true;
    }
    bool Word(uint32_t* v)
    {
        *v = ar.ReadWord();
        return true;
    }
    bool Dword(uint32_t* v)
    {
        *v = ar.ReadDword();
        return true;
    }
};

} // namespace

std::string CArchive::ReadString()
{
    CArchivePrefixReader reader{*this};
    uint32_t n = 0;
    bool wide = false;
    ReadStringPrefix(reader, &n, &wide);
    // The limit is on the string as decoded: every UTF-16 character becomes
    // at least one byte of UTF-8, and most non-Latin ones three.
    if (n > m_limits.maxString)
        throw CArchiveException(CArchiveException::TooLarge, "string longer than allowed");
    if (!wide) {
        const uint8_t* p = Take(n);
        return std::string(reinterpret_cast<const char*>(p), n);
    }
    const uint8_t* p = Take(2 * std::size_t{n});
    if (Utf16ToUtf8Size(p, n) > m_limits.maxString)
        throw CArchiveException(CArchiveException::TooLarge, "string longer than allowed");
    return Utf16ToUtf8(p, n);
}

std::size_t CArchive::ReadCount()
{
    CArchivePrefixReader reader{*this};
    uint32_t n = 0;
    ReadCountPrefix(reader, &n);
    if (n > m_limits.maxNames)
        throw CArchiveException(CArchiveException::TooLarge, "names list longer than allowed");
    return n;
}
