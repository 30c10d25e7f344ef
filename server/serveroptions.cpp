#include "serveroptions.h"

#include "loginguard.h"

#include <cstdlib>

namespace {

bool ParsePort(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// A whole number from 1 to `max`.
bool ParseCount(const std::string& text, unsigned long max, unsigned long& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value >= 1 && value <= max;
}

} // namespace

const char* ServerUsage()
{
    return "Usage: murmurly-server [--address ADDR] [--port PORT] [--db PATH]\n"
           "                       [--login-timeout SECONDS] [--max-connections N]\n"
           "                       [--max-handshakes N] [--record-timeout SECONDS]\n"
           "                       [--store-timeout SECONDS] [--write-timeout SECONDS]\n"
           "                       [--max-pending-per-address N] [--prelogin-memory MIB]\n"
           "                       [--sender-quota MIB] [--store-quota MIB]\n"
           "                       [--limit-exempt CIDR]... [--trusted-proxy ADDR[/BITS]]...\n"
           "                       [--no-registration]\n"
           "                       [--fast-hash] [--tls-cert FILE --tls-key FILE] [--allow-plaintext]\n"
           "                       [--cluster nats://HOST:PORT]\n"
           "                       [--admin-socket PATH] [--metrics ADDR:PORT]\n"
           "\n"
           "  --address ADDR           address to listen on (default 127.0.0.1)\n"
           "  --port PORT              TCP port, 0 for any free one (default 7357)\n"
           "  --db PATH                SQLite database file\n"
           "                           (default $XDG_DATA_HOME/murmurly/murmurly.db)\n"
           "  --db postgresql://...    PostgreSQL database (libpq URI), which several\n"
           "                           servers may share\n"
           "  --login-timeout SECONDS  close a connection that has not logged in by\n"
           "                           then (default 30)\n"
           "  --max-connections N      connections served at once; more are closed\n"
           "                           at once (default: what the memory holds when\n"
           "                           each holds all it may, at most 65536 and the\n"
           "                           open-file limit less 64)\n"
           "  --max-handshakes N       TLS handshakes under way at once; past that the\n"
           "                           oldest of the address with the most is closed\n"
           "                           (default 256; 16 from one address)\n"
           "  --record-timeout SECONDS close a connection whose record stays\n"
           "                           unfinished that long (default 60)\n"
           "  --write-timeout SECONDS  close a logged-in client that takes no byte of\n"
           "                           what waits for it that long (default 60)\n"
           "  --max-pending-per-address N\n"
           "                           connections one address may hold before they\n"
           "                           log in (default 64)\n"
           "  --prelogin-memory MIB    unfinished records of all connections not\n"
           "                           logged in together; past it those holding the\n"
           "                           most are closed (default 16)\n"
           "  --sender-quota MIB       offline messages one sender may have waiting\n"
           "                           for all recipients together (default 64)\n"
           "  --store-quota MIB        offline messages the store may hold in all, 0\n"
           "                           for no bound (default: four fifths of the disk\n"
           "                           space free at start under a database file)\n"
           "  --store-timeout SECONDS  fail a database request, and close the client\n"
           "                           that made it, after that long (default 10)\n"
           "  --tls-cert FILE          PEM certificate chain: the port speaks TLS only\n"
           "  --tls-key FILE           PEM private key of that certificate\n"
           "  --allow-plaintext        listen without TLS on an address other than\n"
           "                           loopback (a private network only)\n"
           "  --limit-exempt CIDR      spare peers in this range the limits per address\n"
           "                           (repeatable; default 127.0.0.0/8 and ::1)\n"
           "  --trusted-proxy ADDR[/BITS]\n"
           "                           a load balancer whose connections begin with a\n"
           "                           PROXY header (v1 or v2); the client address in\n"
           "                           it counts for the limits and the log\n"
           "                           (repeatable)\n"
           "  --no-registration        refuse to create accounts\n"
           "  --cluster nats://HOST:PORT\n"
           "                           one node of several: join the others through\n"
           "                           this NATS server (all nodes share one --db)\n"
           "  --admin-socket PATH      the socket of murmurlyctl (default\n"
           "                           $RUNTIME_DIRECTORY/admin.sock under systemd,\n"
           "                           else $XDG_RUNTIME_DIR/murmurly/admin.sock)\n"
           "  --metrics ADDR:PORT      serve Prometheus metrics at /metrics there\n"
           "  --fast-hash              cheapest password hashing, for benchmarks and\n"
           "                           tests; only with a database file that does\n"
           "                           not exist yet\n"
           "  --help                   show this text\n"
           "  --version                show the version\n";
}

CParsedOptions ParseServerOptions(const std::vector<std::string>& args)
{
    CParsedOptions parsed;
    CServerOptions& o = parsed.options;
    bool exemptGiven = false; // the first --limit-exempt replaces the default
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            continue;
        }
        if (arg == "--version") {
            o.version = true;
            continue;
        }
        // Lets tests and benchmarks log in quickly. Never for real accounts:
        // the server refuses it for a database that already exists.
        if (arg == "--fast-hash") {
            o.fastHash = true;
            continue;
        }
        if (arg == "--allow-plaintext") {
            o.allowPlaintext = true;
            continue;
        }
        if (arg == "--no-registration") {
            o.limits.registrationOpen = false;
            continue;
        }
        if (arg != "--address" && arg != "--port" && arg != "--db" && arg != "--login-timeout" &&
            arg != "--record-timeout" && arg != "--store-timeout" && arg != "--max-connections" &&
            arg != "--write-timeout" && arg != "--max-pending-per-address" && arg != "--prelogin-memory" &&
            arg != "--sender-quota" && arg != "--store-quota" && arg != "--max-handshakes" &&
            arg != "--limit-exempt" && arg != "--tls-cert" && arg != "--tls-key" && arg != "--cluster" &&
            arg != "--admin-socket" && arg != "--metrics" && arg != "--trusted-proxy") {
            parsed.error = "unknown argument '" + arg + "' (try --help)";
            return parsed;
        }
        if (i + 1 >= args.size()) {
            parsed.error = arg + " needs a value";
            return parsed;
        }
        const std::string& value = args[++i];
        if (arg == "--address") {
            if (value.empty()) {
                parsed.error = "--address needs a value";
                return parsed;
            }
            o.address = value;
        } else if (arg == "--port") {
            if (!ParsePort(value, o.port)) {
                parsed.error = "invalid port '" + value + "' (0 to 65535)";
                return parsed;
            }
        } else if (arg == "--login-timeout" || arg == "--record-timeout" || arg == "--write-timeout") {
            unsigned long seconds = 0;
            if (!ParseCount(value, 86400, seconds)) {
                parsed.error = "invalid " + arg + " '" + value + "' (1 to 86400 seconds)";
                return parsed;
            }
            (arg == "--login-timeout"    ? o.limits.loginTimeout
             : arg == "--record-timeout" ? o.limits.recordTimeout
                                         : o.limits.writeTimeout) = std::chrono::seconds(seconds);
        } else if (arg == "--prelogin-memory" || arg == "--sender-quota" || arg == "--store-quota") {
            // The store's bound may be 0: none.
            unsigned long mib = 0;
            if (!(arg == "--store-quota" && value == "0") && !ParseCount(value, 1ul << 30, mib)) {
                parsed.error = "invalid " + arg + " '" + value + "' (" + (arg == "--store-quota" ? "0" : "1") +
                               " to 1073741824 MiB)";
                return parsed;
            }
            const std::size_t bytes = static_cast<std::size_t>(mib) << 20;
            if (arg == "--prelogin-memory")
                o.limits.preloginMemory = bytes;
            else if (arg == "--sender-quota")
                o.limits.senderQuota = bytes;
            else {
                o.limits.storeQuota = bytes;
                o.limits.storeQuotaGiven = true;
            }
        } else if (arg == "--store-timeout") {
            unsigned long seconds = 0;
            if (!ParseCount(value, 3600, seconds)) {
                parsed.error = "invalid --store-timeout '" + value + "' (1 to 3600 seconds)";
                return parsed;
            }
            o.storeTimeout = std::chrono::seconds(seconds);
        } else if (arg == "--max-connections" || arg == "--max-handshakes" ||
                   arg == "--max-pending-per-address") {
            unsigned long count = 0;
            if (!ParseCount(value, 1'000'000'000, count)) {
                parsed.error = "invalid " + arg + " '" + value + "' (at least 1)";
                return parsed;
            }
            (arg == "--max-connections"  ? o.limits.maxConnections
             : arg == "--max-handshakes" ? o.limits.maxHandshakes
                                         : o.limits.maxPendingPerAddress) = count;
        } else if (arg == "--limit-exempt") {
            if (!IsAddressRange(value)) {
                parsed.error = "invalid --limit-exempt '" + value + "' (ADDRESS/PREFIX, such as 10.0.0.0/8)";
                return parsed;
            }
            if (!exemptGiven)
                o.limits.limitExempt.clear();
            exemptGiven = true;
            o.limits.limitExempt.push_back(value);
        } else if (arg == "--trusted-proxy") {
            if (!IsAddressRange(value)) {
                parsed.error =
                    "invalid --trusted-proxy '" + value + "' (ADDRESS/PREFIX, such as 10.0.0.5/32)";
                return parsed;
            }
            o.limits.trustedProxies.push_back(value);
        } else if (arg == "--tls-cert" || arg == "--tls-key") {
            if (value.empty()) {
                parsed.error = arg + " needs a value";
                return parsed;
            }
            (arg == "--tls-cert" ? o.tlsCert : o.tlsKey) = value;
        } else if (arg == "--cluster") {
            if (value.rfind("nats://", 0) != 0 || value.size() <= 7) {
                parsed.error = "invalid --cluster '" + value + "' (nats://HOST:PORT)";
                return parsed;
            }
            o.clusterUrl = value;
        } else if (arg == "--admin-socket") {
            if (value.empty()) {
                parsed.error = "--admin-socket needs a value";
                return parsed;
            }
            o.adminSocket = value;
        } else if (arg == "--metrics") {
            const auto colon = value.rfind(':');
            uint16_t port = 0;
            if (colon == std::string::npos || colon == 0 || !ParsePort(value.substr(colon + 1), port)) {
                parsed.error = "invalid --metrics '" + value + "' (ADDR:PORT)";
                return parsed;
            }
            o.metrics = value;
        } else {
            if (value.empty()) {
                parsed.error = "--db needs a value";
                return parsed;
            }
            o.dbPath = value;
        }
    }
    if (o.tlsCert.empty() != o.tlsKey.empty())
        parsed.error = "--tls-cert and --tls-key go together";
    return parsed;
}

std::string DefaultDatabasePath()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/share";
    else
        return {};
    return base + "/murmurly/murmurly.db";
}
