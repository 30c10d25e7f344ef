#pragma once

#include <stdexcept>

// Raised by a store when the database cannot do what was asked (disk full,
// corrupt file, a lost connection, a call interrupted...). The server treats
// it as fatal for the request.
class CStoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
