#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CServerOptions
{
    std::string address = "127.0.0.1";
    uint16_t port = 7357;
    std::string dbPath;    // empty: the default in the data folder
    bool fastHash = false; // test builds only: cheapest Argon2id cost
    bool help = false;
    bool version = false;
};

struct CParsedOptions
{
    CServerOptions options;
    std::string error; // non-empty: the one line to print, exit 2
};

CParsedOptions ParseServerOptions(const std::vector<std::string>& args);

// "$XDG_DATA_HOME/murmurly/murmurly.db", or under ~/.local/share when
// XDG_DATA_HOME is unset or empty. Empty when neither variable helps.
std::string DefaultDatabasePath();

const char* ServerUsage();
