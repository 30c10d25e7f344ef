#pragma once

#include "credentialrule.h"

// What the dialogs show for a password that fails the rule; null for
// CredentialValid. A user name that fails shows kInvalidLoginName whatever
// the cause, an old password kInvalidOldPassword.
const char* PasswordMessage(CredentialResult result);

inline constexpr char kInvalidLoginName[] = "Invalid Login Name";
inline constexpr char kInvalidOldPassword[] = "Old password is invalid, Please try again";
