#pragma once

#include <string>
#include <string_view>
#include <vector>

// Values read from config.txt. The port stays as it was when no PORT_NUM line
// is present; callers start it at 0, which fails to connect.
struct CServerConfig
{
    std::string address;
    int port = 0;
    // USE_TLS=1: the connection is encrypted, and never falls back to clear text.
    bool useTls = false;
    // TLS_FINGERPRINT: the SHA-256 fingerprint of the one certificate to
    // accept, as written in the file (hex, colons allowed); empty for none.
    std::string tlsFingerprint;
};

// Applies the lines of a config.txt text to `config`: "//" comment lines are
// skipped, each other line is split at its first '=', keys IP_ADDRESS and
// PORT_NUM (and USE_TLS, TLS_FINGERPRINT) are matched exactly, nothing is trimmed and later lines win. A
// carriage return before a line feed is dropped, and a last line without a
// line feed counts like any other.
void ParseConfig(std::string_view contents, CServerConfig& config);

// Reads and parses the file; false when it cannot be opened.
bool ReadConfigFile(const std::string& path, CServerConfig& config);

// Reads the first of `paths` that can be opened and returns its index, or -1
// when none can (and `config` is untouched).
int ReadFirstConfigFile(const std::vector<std::string>& paths, CServerConfig& config);

// A fingerprint in upper-case hex without separators: colons and white space
// are dropped; empty when anything else is left or the length is not that of
// a SHA-256 digest.
std::string NormalizeFingerprint(std::string_view text);

// What makes a value read unusable, in words for the user; empty when every
// value can be used. A TLS_FINGERPRINT that is not a SHA-256 fingerprint is
// such a value: it would refuse every certificate.
std::string ConfigProblem(const CServerConfig& config);

// The port value as C's atoi reads it: leading white space, an optional sign,
// then digits up to the first non-digit; no digits gives 0.
int ParsePortNumber(std::string_view value);
