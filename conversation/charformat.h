#pragma once

#include "logfont.h"

#include <QColor>
#include <QFont>
#include <QTextCharFormat>

#include <cstdint>
#include <string>

class CNetMessage;
class CUserSettings;
class QTextEdit;

// 0x00BBGGRR, the colour layout of records and settings, to a QColor.
QColor ColorFromRgb(uint32_t rgb);
uint32_t RgbFromColor(const QColor& color);

// Where ApplyCharFormat puts the format: as the box's default, or on an
// empty selection at the end of its text, for the text inserted there next.
enum class FormatPlace { AsDefault, AtEnd };

// The smallest height a line is shown at, in twentieths of a point (6 pt).
inline constexpr int32_t kMinShownHeight = 120;

// The sender's character set and pitch and family bytes, as a line's
// format keeps them: Qt picks fonts by family and style hint, not by these,
// but a line copied on keeps what its sender chose.
inline constexpr int kCharSetProperty = QTextFormat::UserProperty + 1;
inline constexpr int kPitchAndFamilyProperty = QTextFormat::UserProperty + 2;

// The character format a line is shown in: bold exactly for weight 700,
// italic, underline and strike-out from their flags, the height in
// twentieths of a point (at least kMinShownHeight), the colour, and the
// sender's face name as the family. The pitch and family byte gives the
// style hint and fixed pitch that pick a like face where that one is not
// installed; it and the character set are kept on the format as well. An
// empty face name leaves the family as it is.
QTextCharFormat MakeCharFormat(const CLogFont& font, const std::string& faceName, int32_t height,
                               uint32_t color);

// Applies the format to `box` unless `faceName` is empty (a record without a
// face name changes no format, so its line keeps the format in force).
void ApplyCharFormat(const CLogFont& font, const std::string& faceName, QTextEdit* box, uint32_t color,
                     int32_t height, FormatPlace place);

// The record's font fields from a settings record's font: the font
// description, its face name, FontColor and Height when the description
// names a face; otherwise the fallback "Arial", black, 10 points.
void FillRecordFontFrom(const CUserSettings& format, CNetMessage& msg);

// A record's font as the font chooser shows it, so that the chooser starts
// from the font the lines are shown in: the face name, the height (at least
// kMinShownHeight), bold exactly for weight 700, and the three flags.
QFont FontFromRecordFont(const CLogFont& font, const std::string& faceName, int32_t height);

// A font chosen in the font chooser as the logical font description that
// records and settings carry: weight as is (400 regular, 700 bold), the
// flags, the face name (cut to 31 bytes), and the height as the negative
// pixel height at 96 dots per inch.
CLogFont LogFontFromFont(const QFont& font);
// The chooser's point size in twentieths of a point (10 points give 200).
int32_t HeightFromFont(const QFont& font);
