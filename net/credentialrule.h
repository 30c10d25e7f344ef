#pragma once

#include <string_view>

// The one rule for user names and passwords: 1 to 14 ASCII letters or
// digits. The client's dialogs tell the user which part failed; the server
// applies the same rule again to what arrives.

enum CredentialResult {
    CredentialValid = 0,
    CredentialMismatch = 1,      // confirmation given and different from the value
    CredentialHasSpaces = 2,     // leading white space or trailing spaces
    CredentialBadLength = 3,     // empty, or longer than MaxCredentialLength bytes
    CredentialBadCharacters = 4, // a byte outside A-Z, a-z, 0-9
};

inline constexpr int MaxCredentialLength = 14;

// Tests, in this order, the confirmation (skipped when it is empty), the
// spaces, the length and the characters; the first failure decides. Lengths
// are in bytes and comparisons are exact.
CredentialResult CheckCredential(std::string_view value, std::string_view confirmation = {});

inline bool IsValidCredential(std::string_view value)
{
    return CheckCredential(value) == CredentialValid;
}
