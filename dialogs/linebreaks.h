#pragma once

#include <QString>

#include <string>

// Message texts travel with carriage return + line feed between lines, the
// form peers have always sent and may rely on. The edit boxes hold plain
// line feeds.

// The box's text as a record carries it: every line break as CR LF.
std::string ToCrLf(const QString& text);
// A received text for a box: CR LF, a lone LF and a lone CR each become one
// line break.
QString FromAnyLineBreaks(const std::string& text);
