#pragma once

#include <string_view>

// The client's rule for user names and passwords, applied again here: 1 to 14
// ASCII letters or digits.
bool IsValidCredential(std::string_view value);
