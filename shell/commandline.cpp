#include "commandline.h"

#include <cstdio>
#include <cstring>

const char* ClientUsage()
{
    return "Usage: murmurly [--help] [--version]\n"
           "\n"
           "Murmurly, an instant messaging client. At start it reads the server's\n"
           "address from the first of these files that exists:\n"
           "  ./config.txt                           in the current folder\n"
           "  $XDG_CONFIG_HOME/murmurly/config.txt   (default ~/.config/murmurly/config.txt)\n"
           "  /etc/murmurly/config.txt\n"
           "config.txt holds one KEY=value per line; lines starting with // are ignored:\n"
           "  IP_ADDRESS=127.0.0.1\n"
           "  PORT_NUM=7357\n"
           "  USE_TLS=1                 for a server that uses TLS; never falls back to clear text\n"
           "  TLS_FINGERPRINT=3A:1F:..  the SHA-256 fingerprint of the server's certificate when\n"
           "                            no trusted authority signed it (colons optional, any case)\n"
           "\n"
           "Preferences and the remembered login are kept in the settings file\n"
           "  $XDG_CONFIG_HOME/Brambleworks/Murmurly.conf   (default ~/.config/...)\n"
           "and the remembered password in the desktop's keyring, where one runs.\n"
           "\n"
           "  --help      show this text and exit\n"
           "  --version   show the version and exit\n";
}

std::optional<int> RunInfoOption(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(ClientUsage(), stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("murmurly " MURMURLY_VERSION "\n", stdout);
            return 0;
        }
    }
    return std::nullopt;
}
