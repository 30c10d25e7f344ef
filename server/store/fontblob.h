#pragma once

#include "logfont.h"

#include <string>

// The font values of the wire as one small blob, the same bytes in every
// store: width, escapement, orientation and weight little-endian, then the
// eight byte-sized fields.
std::string PackFont(const CLogFont& font);
// A blob of the wrong size gives the default font.
CLogFont UnpackFont(const std::string& blob);
