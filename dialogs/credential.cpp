#include "credential.h"

const char* PasswordMessage(CredentialResult result)
{
    switch (result) {
    case CredentialValid:
        return nullptr;
    case CredentialMismatch:
        return "Password entries much match";
    case CredentialHasSpaces:
        return "Password cannot contain spaces";
    case CredentialBadLength:
        return "Password length must be 1-14 characters";
    case CredentialBadCharacters:
        return "Password can contain only the characters from A-Z, a-z and 0-9";
    }
    return nullptr;
}
