#include "linebreaks.h"

#include <string_view>

namespace {

// Copies `text` with every line break (CR LF, LF or CR) replaced by `brk`.
std::string ReplaceLineBreaks(std::string_view text, std::string_view brk)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            out += brk;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string ToCrLf(const QString& text)
{
    return ReplaceLineBreaks(text.toStdString(), "\r\n");
}

QString FromAnyLineBreaks(const std::string& text)
{
    return QString::fromStdString(ReplaceLineBreaks(text, "\n"));
}
