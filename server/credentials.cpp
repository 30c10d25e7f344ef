#include "credentials.h"

bool IsValidCredential(std::string_view value)
{
    if (value.empty() || value.size() > 14)
        return false;
    for (char c : value) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit)
            return false;
    }
    return true;
}
