// The record on the wire. There is no framing: a record is its fields
// encoded one after another, and a reader finds its end by decoding it.
//
//   record  = sender recipient text command time faceName size
//             width escapement orientation weight
//             italic underline strikeout charset outprecision
//             clipprecision quality pitchandfamily color names
//   string  = len8 bytes                  ; len8 < 0xFF
//           | 0xFF len16 bytes            ; len16 < 0xFFFE
//           | 0xFF 0xFFFF len32 bytes
//           | 0xFF 0xFFFE wlen utf16le    ; read only, never written;
//                                         ; wlen counts 16-bit characters:
//   wlen    = len8 | 0xFF len16 | 0xFF 0xFFFF len32   ; here len16 may be 0xFFFE
//   names   = count16 string*             ; count16 < 0xFFFF
//           | 0xFFFF count32 string*
//   time, size, width .. weight, color    = 32 bits
//   italic .. pitchandfamily              = 8 bits
//
// Integers are little-endian. An empty record takes 43 bytes.
//
// Decoding happens in two passes. The first walks the prefixes without
// allocating anything, to learn whether the whole record is present and
// whether every length and count is within the limits; only then does the
// second pass (CNetMessage::Serialize) build the strings.

#include "wire.h"

#include "commands.h"

#include <algorithm>

namespace {

class CMeasure
{
public:
    CMeasure(std::string_view data, const DecodeLimits& limits) : m_data(data), m_limits(limits) {}

    // Returns Complete with the record's size, Incomplete, or TooLarge.
    DecodeResult Run()
    {
        for (int i = 0; i < 4; ++i)  // sender, recipient, text, command
            if (!String())
                return Result();
        if (!Skip(4) || !String())  // time, faceName
            return Result();
        if (!Skip(4 + 16 + 8 + 4))  // size, four font ints, eight font bytes, color
            return Result();
        uint32_t count = 0;
        if (!ReadCountPrefix(*this, &count))
            return Result();
        if (count > m_limits.maxNames) {
            m_tooLarge = true;
            return Result();
        }
        for (uint32_t i = 0; i < count; ++i)
            if (!String())
                return Result();
        return {DecodeStatus::Complete, m_pos};
    }

    // The readers of the prefix grammar: false when the bytes run out or the
    // record would grow past its limit.
    bool Byte(uint32_t* v)
    {
        const std::size_t at = m_pos;
        if (!Skip(1))
            return false;
        *v = static_cast<uint8_t>(m_data[at]);
        return true;
    }

    bool Word(uint32_t* v)
    {
        const std::size_t at = m_pos;
        if (!Skip(2))
            return false;
        *v = static_cast<uint8_t>(m_data[at]) | (static_cast<uint8_t>(m_data[at + 1]) << 8);
        return true;
    }

    bool Dword(uint32_t* v)
    {
        const std::size_t at = m_pos;
        if (!Skip(4))
            return false;
        *v = 0;
        for (int i = 3; i >= 0; --i)
            *v = (*v << 8) | static_cast<uint8_t>(m_data[at + i]);
        return true;
    }

private:
    DecodeResult Result() const
    {
        return {m_tooLarge ? DecodeStatus::TooLarge : DecodeStatus::Incomplete, 0};
    }

    bool Skip(std::size_t n)
    {
        if (n > m_limits.maxRecord || m_pos + n > m_limits.maxRecord) {
            m_tooLarge = true;
            return false;
        }
        if (m_data.size() - m_pos < n)
            return false;
        m_pos += n;
        return true;
    }

    bool String()
    {
        uint32_t n = 0;
        bool wide = false;
        if (!ReadStringPrefix(*this, &n, &wide))
            return false;
        // The limit counts decoded bytes. A UTF-16 character decodes to at
        // least one byte, so its count alone can refuse the string before
        // the bytes arrive; what it really decodes to is known only once they
        // are all here.
        if (n > m_limits.maxString) {
            m_tooLarge = true;
            return false;
        }
        if (!wide)
            return Skip(n);
        const std::size_t at = m_pos;
        if (!Skip(2 * std::size_t{n}))
            return false;
        if (Utf16ToUtf8Size(reinterpret_cast<const uint8_t*>(m_data.data()) + at, n) > m_limits.maxString) {
            m_tooLarge = true;
            return false;
        }
        return true;
    }

    std::string_view m_data;
    const DecodeLimits& m_limits;
    std::size_t m_pos = 0;
    bool m_tooLarge = false;
};

} // namespace

DecodeResult DecodeRecord(std::string_view data, CNetMessage& out, const DecodeLimits& limits)
{
    const DecodeResult measured = CMeasure(data, limits).Run();
    if (measured.status != DecodeStatus::Complete)
        return measured;
    // The measuring pass has seen every prefix with the same limits, so
    // reading cannot throw here.
    CArchive ar(data.substr(0, measured.consumed), limits);
    out.Serialize(ar);
    return measured;
}

std::size_t EncodedSizeBound(const CNetMessage& msg)
{
    // The fixed fields, and each string with its prefix; only a record with
    // several strings past 64 KiB takes more.
    std::size_t size = 64 + msg.sender.size() + msg.recipient.size() + msg.text.size() + msg.command.size() +
                       msg.faceName.size();
    for (const std::string& name : msg.names)
        size += 8 + name.size();
    return size;
}

void EncodeRecord(const CNetMessage& msg, std::string& out)
{
    // Room for the whole record at once.
    CArchive ar(out, EncodedSizeBound(msg));
    const_cast<CNetMessage&>(msg).Serialize(ar);
}

void EncodeReceipt(std::string_view sender, std::string_view recipient, std::string_view outcome,
                   std::string_view id, int32_t time, std::string& out)
{
    CArchive ar(out, kEmptyRecordSize + 16 + sender.size() + recipient.size() + outcome.size() + id.size());
    ar.WriteString(sender);
    ar.WriteString(recipient);
    ar.WriteString(outcome);
    ar.WriteString(Cmd::MessageAck);
    ar.Write(time);
    // The empty face name, size, font and colour.
    ar.WriteZeros(1 + 4 + 16 + 8 + 4);
    ar.WriteCount(1);
    ar.WriteString(id);
}

std::string EncodeRecord(const CNetMessage& msg)
{
    std::string out;
    EncodeRecord(msg, out);
    return out;
}

std::size_t OversizedString(const CNetMessage& msg)
{
    std::size_t longest = std::max(
        {msg.sender.size(), msg.recipient.size(), msg.text.size(), msg.command.size(), msg.faceName.size()});
    for (const std::string& name : msg.names)
        longest = std::max(longest, name.size());
    return longest > kServerLimits.maxString ? longest : 0;
}
