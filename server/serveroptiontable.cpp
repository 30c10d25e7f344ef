#include "serveroptiontable.h"

#include "loginguard.h"

#include <CLI/CLI.hpp>

#include <functional>

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

// Adds options of one kind each: the value is checked and converted here,
// and a refusal is kept in the words operators know from earlier versions.
// What it adds refers to the options and the refusal, not to the table.
class COptionTable
{
public:
    // Takes one value; returns why it is refused, or "".
    using CTake = std::function<std::string(const std::string&)>;

    COptionTable(CLI::App& app, std::string& refused) : m_app(app), m_refused(refused) {}

    // The heading in --help of the options added next.
    void Group(const char* name) { m_group = name; }

    void Add(const std::string& name, const char* valueName, const char* description, CTake take)
    {
        m_app
            .add_option_function<std::string>(
                name,
                [&refused = m_refused, take = std::move(take)](const std::string& value) {
                    if (std::string reason = take(value); !reason.empty() && refused.empty())
                        refused = std::move(reason);
                },
                description)
            ->type_name(valueName)
            ->group(m_group);
    }

    void Flag(const std::string& name, bool& target, bool value, const char* description)
    {
        m_app
            .add_flag_callback(
                name, [&target, value] { target = value; }, description)
            ->group(m_group);
    }

    // Any value but an empty one.
    void Text(const std::string& name, const char* valueName, std::string& target, const char* description)
    {
        Add(name, valueName, description, [name, &target](const std::string& value) {
            if (value.empty())
                return name + " needs a value";
            target = value;
            return std::string();
        });
    }

    void Seconds(const std::string& name, std::chrono::milliseconds& target, unsigned long max,
                 const char* description)
    {
        Add(name, "SECONDS", description, [name, &target, max](const std::string& value) {
            unsigned long seconds = 0;
            if (!ParseCount(value, max, seconds))
                return "invalid " + name + " '" + value + "' (1 to " + std::to_string(max) + " seconds)";
            target = std::chrono::seconds(seconds);
            return std::string();
        });
    }

    void Count(const std::string& name, std::size_t& target, const char* description)
    {
        Add(name, "N", description, [name, &target](const std::string& value) {
            unsigned long count = 0;
            if (!ParseCount(value, 1'000'000'000, count))
                return "invalid " + name + " '" + value + "' (at least 1)";
            target = count;
            return std::string();
        });
    }

    // Mebibytes, kept in bytes. `given`, when there, tells that it was set;
    // those options may also be 0: no bound.
    void Mebibytes(const std::string& name, std::size_t& target, const char* description,
                   bool* given = nullptr)
    {
        Add(name, "MIB", description, [name, &target, given](const std::string& value) {
            unsigned long mib = 0;
            if (!(given && value == "0") && !ParseCount(value, 1ul << 30, mib))
                return "invalid " + name + " '" + value + "' (" + (given ? "0" : "1") + " to 1073741824 MiB)";
            target = static_cast<std::size_t>(mib) << 20;
            if (given)
                *given = true;
            return std::string();
        });
    }

    // Address ranges, one a use; the first use replaces the default.
    // `form` names the value in the help; `example` is a range of the kind
    // the option takes, for the error.
    void Ranges(const std::string& name, const char* form, const char* example,
                std::vector<std::string>& target, const char* description)
    {
        m_app
            .add_option_function<std::vector<std::string>>(
                name,
                [&refused = m_refused, name, example, &target](const std::vector<std::string>& values) {
                    for (const auto& value : values)
                        if (!IsAddressRange(value)) {
                            if (refused.empty())
                                refused = "invalid " + name + " '" + value + "' (ADDRESS/PREFIX, such as " +
                                          example + ")";
                            return;
                        }
                    target = values;
                },
                description)
            ->type_name(form)
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->group(m_group);
    }

private:
    CLI::App& m_app;
    std::string& m_refused;
    std::string m_group;
};

} // namespace

void AddServerOptions(CLI::App& app, CServerOptions& o, std::string& refused)
{
    // A value given twice counts as given last, as it always has.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    COptionTable t(app, refused);
    CServerLimits& l = o.limits;

    t.Group("Network");
    t.Text("--address", "ADDR", o.address, "address to listen on (default 127.0.0.1)");
    t.Add("--port", "PORT", "TCP port, 0 for any free one (default 7357)", [&o](const std::string& value) {
        return ParsePort(value, o.port) ? std::string() : "invalid port '" + value + "' (0 to 65535)";
    });
    t.Text("--tls-cert", "FILE", o.tlsCert, "PEM certificate chain: the port speaks TLS only");
    t.Text("--tls-key", "FILE", o.tlsKey, "PEM private key of that certificate");
    t.Flag("--allow-plaintext", o.allowPlaintext, true, "clear text beyond loopback (private networks)");

    t.Group("Store");
    t.Text("--db", "PATH", o.dbPath, "SQLite file, or a postgresql:// URI to share");
    t.Seconds("--store-timeout", o.storeTimeout, 3600, "fail a database request after that (default 10)");
    t.Mebibytes("--sender-quota", l.senderQuota, "offline messages from one sender (default 64)");
    t.Mebibytes("--store-quota", l.storeQuota, "offline messages in all; 0: none (default: disk)",
                &l.storeQuotaGiven);

    t.Group("Limits");
    t.Seconds("--login-timeout", l.loginTimeout, 86400, "close a connection not logged in (default 30)");
    t.Seconds("--record-timeout", l.recordTimeout, 86400,
              "close one whose record is unfinished (default 60)");
    t.Seconds("--write-timeout", l.writeTimeout, 86400, "close a client that reads nothing (default 60)");
    t.Count("--max-connections", l.maxConnections, "connections at once (default: memory and files)");
    t.Count("--max-handshakes", l.maxHandshakes, "TLS handshakes at once (default 256)");
    t.Count("--max-pending-per-address", l.maxPendingPerAddress,
            "connections before login, per address (default 64)");
    t.Mebibytes("--prelogin-memory", l.preloginMemory, "unfinished records before login (default 16)");
    t.Ranges("--limit-exempt", "CIDR", "10.0.0.0/8", l.limitExempt,
             "spare this range per-address limits (repeatable)");
    t.Ranges("--trusted-proxy", "ADDR[/BITS]", "10.0.0.5/32", l.trustedProxies,
             "balancer sending PROXY headers (repeatable)");

    t.Group("Accounts");
    t.Flag("--no-registration", l.registrationOpen, false, "refuse to create accounts");
    // Lets tests and benchmarks log in quickly. Never for real accounts: the
    // server refuses it for a database that already exists.
    t.Flag("--fast-hash", o.fastHash, true, "cheapest password hashing (tests; new database)");

    t.Group("Operation");
    t.Add("--cluster", "nats://HOST:PORT", "join the other nodes through this NATS server",
          [&o](const std::string& value) {
              if (value.rfind("nats://", 0) != 0 || value.size() <= 7)
                  return "invalid --cluster '" + value + "' (nats://HOST:PORT)";
              o.clusterUrl = value;
              return std::string();
          });
    t.Text("--admin-socket", "PATH", o.adminSocket, "the socket of murmurlyctl (default: runtime dir)");
    t.Add("--metrics", "ADDR:PORT", "serve Prometheus metrics at /metrics there",
          [&o](const std::string& value) {
              const auto colon = value.rfind(':');
              uint16_t port = 0;
              if (colon == std::string::npos || colon == 0 || !ParsePort(value.substr(colon + 1), port))
                  return "invalid --metrics '" + value + "' (ADDR:PORT)";
              o.metrics = value;
              return std::string();
          });

    t.Group("Options");
    t.Flag("--version", o.version, true, "show the version");
}
