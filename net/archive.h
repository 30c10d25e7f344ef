#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

// Bounds a decoder applies before it allocates anything a prefix claims.
struct DecodeLimits
{
    std::size_t maxString;  // bytes of one string as decoded (UTF-16 becomes UTF-8)
    std::size_t maxNames;   // entries of one names list
    std::size_t maxRecord;  // bytes of one whole record
};

inline constexpr DecodeLimits kClientLimits{1u << 20, 100'000, 8u << 20};
inline constexpr DecodeLimits kServerLimits{64u << 10, 10'000, 1u << 20};

// The number of UTF-8 bytes that `units` UTF-16LE code units at `p` decode
// to, an unpaired surrogate counting as U+FFFD.
std::size_t Utf16ToUtf8Size(const uint8_t* p, std::size_t units);

// The length prefixes of the wire (see wire.cpp), read through `r`, whose
// Byte, Word and Dword take the next little-endian value and return false
// when they cannot (the bytes ran out, a limit was reached); then these
// return false too. The decoder and the
// measuring pass before it share these, so they cannot disagree on where a
// string or a names list ends.
template <typename TReader> bool ReadStringPrefix(TReader& r, uint32_t* length, bool* wide)
{
    *wide = false;
    for (;;) {
        if (!r.Byte(length))
            return false;
        if (*length < 0xFF)
            return true;
        if (!r.Word(length))
            return false;
        if (*length != 0xFFFE || *wide)
            break;
        // A UTF-16 string: its own length, in characters, follows.
        *wide = true;
    }
    return *length < 0xFFFF || r.Dword(length);
}

template <typename TReader> bool ReadCountPrefix(TReader& r, uint32_t* count)
{
    if (!r.Word(count))
        return false;
    return *count < 0xFFFF || r.Dword(count);
}

class CArchiveException : public std::runtime_error
{
public:
    enum Cause { EndOfFile, TooLarge };
    CArchiveException(Cause cause, const char* what) : std::runtime_error(what), m_cause(cause) {}
    Cause cause() const { return m_cause; }

private:
    Cause m_cause;
};

// A byte stream in one direction, with the record encodings of the wire:
// little-endian integers, length-prefixed strings and counted string lists.
// A storing archive appends to a string; a loading archive reads from a
// fixed span and throws EndOfFile when it runs out, TooLarge when a prefix
// exceeds the limits.
class CArchive
{
public:
    // Storing. `room` is how many bytes are likely to come: the string is
    // made that much longer at once and the fields are written into it, so
    // that each costs a store rather than an append; the archive cuts what
    // was not used when it goes.
    explicit CArchive(std::string& out, std::size_t room = 0);
    CArchive(std::string_view in, const DecodeLimits& limits = kClientLimits); // loading
    ~CArchive();
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    bool IsStoring() const { return m_out != nullptr; }

    void Write(uint8_t v) { *Room(1) = static_cast<char>(v); }
    void Write(int32_t v) { Write(static_cast<uint32_t>(v)); }
    void Write(uint32_t v)
    {
        char* p = Room(4);
        p[0] = static_cast<char>(v & 0xFF);
        p[1] = static_cast<char>((v >> 8) & 0xFF);
        p[2] = static_cast<char>((v >> 16) & 0xFF);
        p[3] = static_cast<char>(v >> 24);
    }
    void WriteString(std::string_view s);
    void WriteCount(std::size_t n);
    void WriteZeros(std::size_t n) { std::memset(Room(n), 0, n); }

    uint8_t ReadByte();
    uint16_t ReadWord();
    uint32_t ReadDword();
    int32_t ReadInt() { return static_cast<int32_t>(ReadDword()); }
    std::string ReadString();
    std::size_t ReadCount();

private:
    const uint8_t* Take(std::size_t n);
    // The next `n` bytes of the storing archive's string.
    char* Room(std::size_t n)
    {
        if (m_out->size() - m_pos < n)
            Grow(n);
        char* p = m_out->data() + m_pos;
        m_pos += n;
        return p;
    }
    void Grow(std::size_t n);

    std::string* m_out = nullptr;
    std::string_view m_in;
    std::size_t m_pos = 0;
    DecodeLimits m_limits{};
};
