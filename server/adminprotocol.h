#pragma once

// The admin socket's protocol, shared by the server and murmurlyctl.
//
// A connection carries one request. The client sends lines ending in "\n":
// the greeting kAdminGreeting, the command, its arguments one a line, and an
// empty line. The server answers with the greeting, then "ok" followed by the
// result's lines, or "error " and the reason on one line, and closes the
// connection. A server that does not speak the client's version answers
// "error unsupported protocol version" after its own greeting. Arguments
// never hold a line break: names and passwords are letters and digits, and a
// backup's path is checked by the client.

#include <cstdlib>
#include <string>

inline constexpr char kAdminGreeting[] = "murmurly-admin 1";

// Where the server listens and murmurlyctl looks by default: the runtime
// folder systemd made for the service, else one under the user's runtime
// folder. Empty when neither is known.
inline std::string DefaultAdminSocket()
{
    if (const char* dirs = std::getenv("RUNTIME_DIRECTORY"); dirs && *dirs) {
        // systemd lists one folder per RuntimeDirectory= name, separated by
        // colons; the service names one.
        const std::string list = dirs;
        return list.substr(0, list.find(':')) + "/admin.sock";
    }
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        return std::string(xdg) + "/murmurly/admin.sock";
    return {};
}
