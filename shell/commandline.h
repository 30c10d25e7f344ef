#pragma once

#include <optional>

// The options that answer on standard output and end the program before
// any window opens (no display needed): --help and --version. Returns the
// exit status when one of them was given, nothing otherwise; every other
// argument is left to the application.
std::optional<int> RunInfoOption(int argc, char* argv[]);

// What `murmurly --help` prints.
const char* ClientUsage();
