#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What one connection may cost the server, and how long it may take.
struct CServerLimits
{
    // A connection that has not logged in by then is closed.
    std::chrono::milliseconds loginTimeout = std::chrono::seconds(30);
    // A record whose bytes have begun to arrive must be whole by then.
    std::chrono::milliseconds recordTimeout = std::chrono::seconds(60);
    // Connections served at once; 0 derives it from the memory and the
    // open-file limit (DefaultMaxConnections).
    std::size_t maxConnections = 0;
    // TLS handshakes under way at once; past this, the oldest of the
    // address with the most is closed.
    std::size_t maxHandshakes = 256;
    // Shares of one address (an AddressKey) unless exempt: connections that
    // have not logged in, and TLS handshakes under way.
    std::size_t maxPendingPerAddress = 64;
    std::size_t maxHandshakesPerAddress = 16;
    // The bytes of unfinished records of all connections not logged in.
    std::size_t preloginMemory = std::size_t{16} << 20;
    // Encoded records waiting for a client that does not read, a backlog
    // of stored messages included.
    std::size_t maxQueuedBytes = 1u << 20;
    // A logged-in client that takes no byte of what waits for it that long
    // is closed.
    std::chrono::milliseconds writeTimeout = std::chrono::seconds(60);

    // Account protection (CLoginGuard). Failed logins within failureWindow:
    // maxNameFailures for one name from one address, or maxAddressFailures
    // from one address, lock further logins out for lockoutTime.
    std::size_t maxNameFailures = 5;
    std::size_t maxAddressFailures = 20;
    std::chrono::milliseconds failureWindow = std::chrono::minutes(1);
    std::chrono::milliseconds lockoutTime = std::chrono::minutes(1);
    // Accounts one address may create within registrationWindow.
    std::size_t maxRegistrations = 5;
    std::chrono::milliseconds registrationWindow = std::chrono::hours(1);
    // Password checks one address may have waiting for a worker.
    std::size_t maxQueuedHashes = 16;
    // Peers the per-address rules spare (a local proxy, tests, benchmarks),
    // as CIDR ranges; tests narrow them to 127.0.0.1/32 and connect from
    // other loopback addresses to see the rules at work.
    std::vector<std::string> limitExempt = {"127.0.0.0/8", "::1/128"};
    // Proxies (CIDR ranges) whose connections begin with a PROXY header
    // that names the client: its address is then the peer's for every rule
    // and in the log.
    std::vector<std::string> trustedProxies;
    bool registrationOpen = true;
    // Offline messages kept for one recipient: how many, and their text and
    // font name bytes together.
    std::size_t maxOfflineMessages = 10'000;
    std::size_t maxOfflineBytes = std::size_t{64} << 20;
    // The same bytes waiting from one sender for all recipients together,
    // and in the whole store (0: no bound; the server sets one from the free
    // disk space of a database file).
    std::size_t senderQuota = std::size_t{64} << 20;
    std::size_t storeQuota = 0;
    bool storeQuotaGiven = false; // --store-quota: no default from the disk
};

struct CServerOptions
{
    std::string address = "127.0.0.1";
    uint16_t port = 7357;
    std::string dbPath; // empty: the default in the data folder
    CServerLimits limits;
    bool fastHash = false; // test builds only: cheapest Argon2id cost
    std::string tlsCert;   // PEM certificate chain; with tlsKey, the port speaks TLS only
    std::string tlsKey;
    bool allowPlaintext = false; // clear text on an address beyond loopback
    std::string clusterUrl;      // nats://HOST:PORT; empty: this node is alone
    std::string adminSocket;     // empty: DefaultAdminSocket()
    std::string metrics;         // ADDR:PORT of the Prometheus endpoint; empty: none
    // A database request not answered by then fails, as a store error does.
    std::chrono::milliseconds storeTimeout = std::chrono::seconds(10);
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

// The text of --help.
std::string ServerUsage();
