#pragma once

#include <string_view>

// Writes one line, "murmurly-server: <text>", to standard error. Lines from
// worker threads never interleave. Callers never pass a password.
void ServerLog(std::string_view text);
