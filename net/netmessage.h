#pragma once

#include "logfont.h"

#include <cstdint>
#include <string>
#include <vector>

class CArchive;

// One protocol record. Every exchange between client and server is exactly
// one of these, encoded field after field with no framing (see wire.cpp).
//
// Strings are byte strings (UTF-8 here); names are compared byte for byte.
//
// Copy construction is deliberately partial: it takes sender, recipient,
// text, command, time, color and size, and leaves names, faceName and font
// empty. The offline store keeps its messages as such copies. Copy
// assignment is therefore not offered; moves transfer every field, and so
// does FullCopy.
class CNetMessage
{
public:
    CNetMessage();
    CNetMessage(const CNetMessage& other);
    CNetMessage(CNetMessage&&) noexcept = default;
    CNetMessage& operator=(const CNetMessage&) = delete;
    CNetMessage& operator=(CNetMessage&&) noexcept = default;
    virtual ~CNetMessage() = default;

    static CNetMessage FullCopy(const CNetMessage& other);
    // Every field, the font's height and face-name array included.
    bool operator==(const CNetMessage&) const = default;

    // Writes the record when `ar` is storing, reads it when loading. Reading
    // appends the decoded entries to `names` and leaves font.lfHeight and
    // font.lfFaceName as they were. Throws CArchiveException.
    virtual void Serialize(CArchive& ar);

    std::string sender;
    std::string recipient;
    std::string text;
    std::string command;
    std::vector<std::string> names;
    int32_t time = 0;      // seconds since 1970-01-01 UTC, set at construction
    CLogFont font;
    std::string faceName;
    uint32_t color = 0;    // 0x00BBGGRR
    int32_t size = 0;      // character height in twentieths of a point
};
