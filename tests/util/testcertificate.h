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

// A TLS client's first flight (its ClientHello), for clients that stop in the
// middle of a handshake. Every call makes the same kind of hello.
std::string MakeClientHello();
