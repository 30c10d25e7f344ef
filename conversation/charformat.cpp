#include "charformat.h"

#include "netmessage.h"
#include "usersettings.h"

#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>
#include <cstring>

QColor ColorFromRgb(uint32_t rgb)
{
    return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>((rgb >> 16) & 0xFF));
}

uint32_t RgbFromColor(const QColor& color)
{
    return static_cast<uint32_t>(color.red()) | (static_cast<uint32_t>(color.green()) << 8) |
           (static_cast<uint32_t>(color.blue()) << 16);
}

namespace {

// The family half of a pitch and family byte (its high nibble), as the hint
// a font lookup understands.
QFont::StyleHint StyleHintOf(uint8_t pitchAndFamily)
{
    switch (pitchAndFamily & 0xF0) {
    case 0x10:
        return QFont::Serif; // roman
    case 0x20:
        return QFont::SansSerif; // swiss
    case 0x30:
        return QFont::TypeWriter; // modern: fixed width
    case 0x40:
        return QFont::Cursive; // script
    case 0x50:
        return QFont::Decorative;
    default:
        return QFont::AnyStyle;
    }
}

// The pitch half (the low two bits): 1 is fixed.
constexpr uint8_t kFixedPitch = 1;

} // namespace

QTextCharFormat MakeCharFormat(const CLogFont& font, const std::string& faceName, int32_t height,
                               uint32_t color)
{
    QTextCharFormat format;
    if (!faceName.empty()) {
        format.setFontFamilies(QStringList{QString::fromStdString(faceName)});
        format.setFontStyleHint(StyleHintOf(font.lfPitchAndFamily));
        format.setFontFixedPitch((font.lfPitchAndFamily & 0x03) == kFixedPitch);
        format.setProperty(kCharSetProperty, int(font.lfCharSet));
        format.setProperty(kPitchAndFamilyProperty, int(font.lfPitchAndFamily));
    }
    // Only exactly 700 is bold: heavier weights are shown regular.
    format.setFontWeight(font.lfWeight == 700 ? QFont::Bold : QFont::Normal);
    format.setFontItalic(font.lfItalic != 0);
    format.setFontUnderline(font.lfUnderline != 0);
    format.setFontStrikeOut(font.lfStrikeOut != 0);
    // Heights are twentieths of a point; a height of 0 would be no size at
    // all. Clients that sent 10 (half a point) for "no font chosen" still
    // exist, so tiny heights are shown at the smallest readable one.
    if (height > 0)
        format.setFontPointSize(std::max(height, kMinShownHeight) / 20.0);
    format.setForeground(ColorFromRgb(color));
    return format;
}

void ApplyCharFormat(const CLogFont& font, const std::string& faceName, QTextEdit* box, uint32_t color,
                     int32_t height, FormatPlace place)
{
    if (faceName.empty() || !box)
        return;
    const QTextCharFormat format = MakeCharFormat(font, faceName, height, color);
    QTextCursor cursor = box->textCursor();
    if (place == FormatPlace::AsDefault) {
        // As the box's default format it also applies to the text already
        // there (the input box shows a newly chosen font at once).
        cursor.select(QTextCursor::Document);
        cursor.setCharFormat(format);
    }
    // At the end, on an empty selection: the text inserted next takes it.
    cursor.movePosition(QTextCursor::End);
    box->setTextCursor(cursor);
    box->setCurrentCharFormat(format);
}

CLogFont LogFontFromFont(const QFont& font)
{
    CLogFont logFont;
    const qreal points = font.pointSizeF() > 0 ? font.pointSizeF() : 0;
    logFont.lfHeight = -static_cast<int32_t>(points * 96.0 / 72.0 + 0.5);
    logFont.lfWeight = font.weight();
    logFont.lfItalic = font.italic() ? 1 : 0;
    logFont.lfUnderline = font.underline() ? 1 : 0;
    logFont.lfStrikeOut = font.strikeOut() ? 1 : 0;
    const QByteArray face = font.family().toUtf8().left(CLogFont::kFaceSize - 1);
    std::memcpy(logFont.lfFaceName, face.constData(), static_cast<std::size_t>(face.size()));
    return logFont;
}

int32_t HeightFromFont(const QFont& font)
{
    // The chooser works in tenths of a point; twice that is twentieths.
    const int tenths = static_cast<int>(font.pointSizeF() * 10.0 + 0.5);
    return tenths * 2;
}

void FillRecordFontFrom(const CUserSettings& format, CNetMessage& msg)
{
    const CLogFont& font = format.m_font;
    const std::size_t faceLength = strnlen(font.lfFaceName, CLogFont::kFaceSize);
    msg.font = font;
    if (faceLength != 0) {
        msg.faceName.assign(font.lfFaceName, faceLength);
        msg.color = format.m_nFontColor;
        msg.size = format.m_nHeight;
    } else {
        // No font chosen yet: 10 points, in twentieths of a point.
        msg.faceName = "Arial";
        msg.color = 0;
        msg.size = 200;
    }
}

QFont FontFromRecordFont(const CLogFont& font, const std::string& faceName, int32_t height)
{
    QFont shown(QString::fromStdString(faceName));
    shown.setPointSizeF(std::max(height, kMinShownHeight) / 20.0);
    shown.setWeight(font.lfWeight == 700 ? QFont::Bold : QFont::Normal);
    shown.setItalic(font.lfItalic != 0);
    shown.setUnderline(font.lfUnderline != 0);
    shown.setStrikeOut(font.lfStrikeOut != 0);
    return shown;
}
