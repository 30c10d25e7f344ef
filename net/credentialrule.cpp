#include "credentialrule.h"

#include <cstddef>

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
