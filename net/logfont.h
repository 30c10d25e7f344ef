#pragma once

#include <cstdint>

// The logical font description a sender's font travels as: the platform's
// 60-byte LOGFONT layout, field for field. Only the values from lfWidth to
// lfPitchAndFamily go on the wire; the height travels as the record's `size`
// and the face name as its `faceName` string.
struct CLogFont
{
    static constexpr int kFaceSize = 32;

    int32_t lfHeight = 0;
    int32_t lfWidth = 0;
    int32_t lfEscapement = 0;
    int32_t lfOrientation = 0;
    int32_t lfWeight = 0;
    uint8_t lfItalic = 0;
    uint8_t lfUnderline = 0;
    uint8_t lfStrikeOut = 0;
    uint8_t lfCharSet = 0;
    uint8_t lfOutPrecision = 0;
    uint8_t lfClipPrecision = 0;
    uint8_t lfQuality = 0;
    uint8_t lfPitchAndFamily = 0;
    char lfFaceName[kFaceSize] = {};

    bool operator==(const CLogFont&) const = default;
};
