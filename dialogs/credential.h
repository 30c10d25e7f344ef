#pragma once

#include <string_view>

// The one rule for user names and passwords, shared by the login,
// registration and change password dialogs. Pure: no widgets, no state.

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

// What the dialogs show for a password that fails the rule; null for
// CredentialValid. A user name that fails shows kInvalidLoginName whatever
// the cause, an old password kInvalidOldPassword.
const char* PasswordMessage(CredentialResult result);

inline constexpr char kInvalidLoginName[] = "Invalid Login Name";
inline constexpr char kInvalidOldPassword[] = "Old password is invalid, Please try again";
