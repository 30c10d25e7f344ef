#include "credential.h"

namespace {

// The white space that may not lead a value: space, tab, line feed,
// vertical tab, form feed, carriage return.
bool IsLeadingSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsAllowed(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

} // namespace

CredentialResult CheckCredential(std::string_view value, std::string_view confirmation)
{
    if (!confirmation.empty() && confirmation != value)
        return CredentialMismatch;

    // Only plain spaces count at the end: a trailing tab is left to the
    // character test.
    std::string_view trimmed = value;
    while (!trimmed.empty() && IsLeadingSpace(trimmed.front()))
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && trimmed.back() == ' ')
        trimmed.remove_suffix(1);
    if (trimmed.size() != value.size())
        return CredentialHasSpaces;

    if (value.empty() || value.size() > static_cast<std::size_t>(MaxCredentialLength))
        return CredentialBadLength;

    for (const char c : value) {
        if (!IsAllowed(c))
            return CredentialBadCharacters;
    }
    return CredentialValid;
}

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
