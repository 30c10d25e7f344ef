#pragma once

#include <filesystem>
#include <string>

// A throw-away self-signed certificate for "localhost" and its key, written
// as PEM into a scratch folder. With `mismatchedKey` the key file holds a key
// of another certificate. Throws std::runtime_error when OpenSSL fails.
struct CTestCertificate
{
    std::string cert;
    std::string key;
};
CTestCertificate WriteTestCertificate(const std::filesystem::path& dir, bool mismatchedKey = false);
