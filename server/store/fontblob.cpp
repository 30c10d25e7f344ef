#include "fontblob.h"

#include <cstdint>

namespace {

constexpr std::size_t kFontBytes = 24;

} // namespace

std::string PackFont(const CLogFont& f)
{
    std::string out;
    out.reserve(kFontBytes);
    for (int32_t v : {f.lfWidth, f.lfEscapement, f.lfOrientation, f.lfWeight}) {
        const auto u = static_cast<uint32_t>(v);
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<char>((u >> shift) & 0xFF));
    }
    for (uint8_t b : {f.lfItalic, f.lfUnderline, f.lfStrikeOut, f.lfCharSet, f.lfOutPrecision,
                      f.lfClipPrecision, f.lfQuality, f.lfPitchAndFamily})
        out.push_back(static_cast<char>(b));
    return out;
}

CLogFont UnpackFont(const std::string& in)
{
    CLogFont f;
    if (in.size() != kFontBytes)
        return f;
    auto p = reinterpret_cast<const uint8_t*>(in.data());
    int32_t* ints[] = {&f.lfWidth, &f.lfEscapement, &f.lfOrientation, &f.lfWeight};
    for (int32_t* v : ints) {
        *v = static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                  uint32_t(p[3]) << 24);
        p += 4;
    }
    uint8_t* bytes[] = {&f.lfItalic,       &f.lfUnderline,     &f.lfStrikeOut, &f.lfCharSet,
                        &f.lfOutPrecision, &f.lfClipPrecision, &f.lfQuality,   &f.lfPitchAndFamily};
    for (uint8_t* b : bytes)
        *b = *p++;
    return f;
}
