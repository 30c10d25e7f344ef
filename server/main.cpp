#include "adminprotocol.h"
#include "adminsocket.h"
#include "metricsserver.h"
#include "natscluster.h"
#include "server.h"
#include "serverlog.h"
#include "serveroptions.h"
#include "storeexecutor.h"
#include "servicenotifier.h"
#include "store/openstore.h"
#include "store/pgstore.h"
#include "store/sqlitestore.h"
#include "tlscontext.h"

#include <asio/signal_set.hpp>

#include <sys/resource.h>
#include <sys/statvfs.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

// Database connections, each on a thread of its own, that serve the node
// when the store is PostgreSQL.
constexpr std::size_t kPostgresConnections = 4;

int Fail(const std::string& line)
{
    std::fprintf(stderr, "murmurly-server: %s\n", line.c_str());
    return 2;
}

// Every connection takes a descriptor: use all the system allows this
// process. Returns the soft limit now in force.
rlim_t RaiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return raised.rlim_cur;
    }
    return limit.rlim_cur;
}

// Unless told otherwise, offline messages may fill four fifths of the disk
// space free at start under a database file: past that the server refuses
// them rather than let one account fill the disk. 0 when it cannot tell.
std::size_t StoreQuotaForDisk(const std::string& dbPath)
{
    struct statvfs disk
    {
    };
    const std::string folder = std::filesystem::path(dbPath).parent_path().string();
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &disk) != 0)
        return 0;
    return static_cast<std::size_t>(disk.f_bavail) * disk.f_frsize / 5 * 4;
}

// What the steps before serving found out, for the node they start.
struct CStartup
{
    std::unique_ptr<asio::ssl::context> tls;
    bool beyondLoopback = false;
    std::string dbPath;
    bool postgres = false;
    std::vector<std::unique_ptr<CStore>> stores;
    CServerLimits limits;
};

// Each step below returns the line that says why the server cannot start,
// or an empty one.

// Clear text carries passwords as they are: only on this machine, unless
// the operator says the network is private.
std::string PrepareTransport(const CServerOptions& options, CStartup& startup)
{
    asio::error_code addressError;
    const auto address = asio::ip::make_address(options.address, addressError);
    startup.beyondLoopback = !addressError && !address.is_loopback();
    if (options.tlsCert.empty() && startup.beyondLoopback && !options.allowPlaintext)
        return "refusing to listen on " + options.address +
               " without TLS: give --tls-cert and --tls-key, or --allow-plaintext on a private network";
    if (!options.tlsCert.empty()) {
        try {
            startup.tls = MakeServerTlsContext(options.tlsCert, options.tlsKey);
        } catch (const std::exception& error) {
            return error.what();
        }
    }
    return {};
}

// One store per lane of the store executor: SQLite writes through one
// connection, PostgreSQL takes a few.
std::string OpenStores(const CServerOptions& options, CStartup& startup, const std::string& fastHashRefused)
{
    try {
        if (startup.postgres) {
            auto pg = std::make_unique<CPgStore>(startup.dbPath, options.storeTimeout);
            // A PostgreSQL database exists before the server comes; what
            // counts is whether it already held our schema.
            if (options.fastHash && pg->FoundSchemaVersion() > 0)
                return fastHashRefused;
            startup.stores.push_back(std::move(pg));
            while (startup.stores.size() < kPostgresConnections)
                startup.stores.push_back(std::make_unique<CPgStore>(startup.dbPath, options.storeTimeout));
        } else {
            startup.stores.push_back(std::make_unique<CSqliteStore>(startup.dbPath));
        }
    } catch (const std::exception& error) {
        return std::string("unusable database: ") + error.what();
    }
    return {};
}

std::string PrepareDatabase(const CServerOptions& options, CStartup& startup)
{
    std::string& dbPath = startup.dbPath = options.dbPath;
    startup.postgres = IsPostgresUri(dbPath);
    if (dbPath.empty()) {
        dbPath = DefaultDatabasePath();
        if (dbPath.empty())
            return "neither XDG_DATA_HOME nor HOME is set; give --db PATH";
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(dbPath).parent_path(), error);
        if (error)
            return "cannot create the data folder for " + dbPath + ": " + error.message();
    }
    const std::string shownDb = DisplayDatabase(dbPath);

    // Cheap hashes must never guard real accounts: with them the server only
    // makes a new, throw-away database.
    const std::string fastHashRefused =
        "--fast-hash only makes a new database, and " + shownDb + " already exists";
    if (options.fastHash && !startup.postgres && std::filesystem::exists(dbPath))
        return fastHashRefused;

    const rlim_t files = RaiseOpenFileLimit();
    ServerLog("starting; database " + shownDb + "; open-file limit " +
              (files == RLIM_INFINITY ? std::string("unlimited") : std::to_string(files)));
    return OpenStores(options, startup, fastHashRefused);
}

void PrepareLimits(const CServerOptions& options, CStartup& startup)
{
    CServerLimits& limits = startup.limits = options.limits;
    if (!limits.storeQuotaGiven && !startup.postgres)
        limits.storeQuota = StoreQuotaForDisk(startup.dbPath);
    ServerLog(
        "offline messages: at most " + std::to_string(limits.senderQuota >> 20) + " MiB from one sender, " +
        (limits.storeQuota > 0 ? std::to_string(limits.storeQuota >> 20) + " MiB" : std::string("no bound")) +
        " in all");
}

std::string JoinCluster(asio::io_context& io, const CServerOptions& options, CServer& server,
                        std::unique_ptr<CNatsCluster>& cluster)
{
    if (options.clusterUrl.empty())
        return {};
    try {
        cluster = std::make_unique<CNatsCluster>(io, options.clusterUrl, server.ClusterListener());
    } catch (const std::exception& error) {
        return error.what();
    }
    server.UseCluster(*cluster);
    ServerLog("cluster node " + cluster->NodeId() + " at " + options.clusterUrl);
    return {};
}

void UseTransport(const CServerOptions& options, CStartup& startup, CServer& server)
{
    if (startup.tls) {
        server.UseTls(*startup.tls);
        ServerLog("TLS only, certificate chain " + options.tlsCert);
    } else if (startup.beyondLoopback) {
        ServerLog("warning: --allow-plaintext: passwords and messages to " + options.address +
                  " travel unencrypted");
    }
}

// The operator's socket. One given by name must work; the default one may be
// held by another server of the same user (tests, a second instance), which
// is no reason to refuse to serve.
std::string OpenAdminSocket(const CServerOptions& options, CAdminSocket& admin)
{
    const std::string adminPath = options.adminSocket.empty() ? DefaultAdminSocket() : options.adminSocket;
    if (adminPath.empty()) {
        ServerLog("no admin socket: give --admin-socket PATH, or set XDG_RUNTIME_DIR");
        return {};
    }
    try {
        admin.Listen(adminPath);
        ServerLog("admin socket " + adminPath);
    } catch (const std::exception& error) {
        if (!options.adminSocket.empty())
            return "cannot use the admin socket " + adminPath + ": " + error.what();
        ServerLog("no admin socket: " + adminPath + ": " + error.what());
    }
    return {};
}

std::string OpenMetrics(asio::io_context& io, const CServerOptions& options, CServer& server,
                        std::unique_ptr<CMetricsServer>& metrics)
{
    if (options.metrics.empty())
        return {};
    metrics = std::make_unique<CMetricsServer>(io, server);
    try {
        const auto endpoint = metrics->Listen(options.metrics);
        ServerLog("metrics at http://" + options.metrics.substr(0, options.metrics.rfind(':')) + ":" +
                  std::to_string(endpoint.port()) + "/metrics");
        if (!endpoint.address().is_loopback())
            ServerLog("warning: --metrics " + options.metrics +
                      " is reachable beyond this machine; the figures are not secret, but a "
                      "firewall should keep strangers out");
    } catch (const std::exception& error) {
        return "cannot serve metrics on " + options.metrics + ": " + error.what();
    }
    return {};
}

std::string StartListening(const CServerOptions& options, CServer& server)
{
    try {
        const auto endpoint = server.Listen(options.address, options.port);
        ServerLog("serving at most " + std::to_string(server.Limits().maxConnections) + " connections");
        ServerLog("listening on " + endpoint.address().to_string() + ":" + std::to_string(endpoint.port()));
    } catch (const std::exception& error) {
        return "cannot listen on " + options.address + ":" + std::to_string(options.port) + ": " +
               error.what();
    }
    return {};
}

// Handlers catch what they throw; should anything still escape, it costs at
// most the work it was doing, not the service.
void RunLoop(asio::io_context& io)
{
    for (;;) {
        try {
            io.run();
            break;
        } catch (const std::exception& error) {
            ServerLog(std::string("unexpected error, serving on: ") + error.what());
        } catch (...) {
            ServerLog("unexpected error, serving on");
        }
    }
}

// The node itself, from the server's start to the end of its loop.
int RunNode(asio::io_context& io, CStoreExecutor& executor, const CServerOptions& options, CStartup& startup)
{
    CServer server(io, executor,
                   options.fastHash ? CPasswordHasher::Cost::Minimum : CPasswordHasher::Cost::Interactive,
                   startup.limits);
    // Declared after the server: it goes first, and nothing it posted
    // reaches the server after that.
    std::unique_ptr<CNatsCluster> cluster;
    std::string why = JoinCluster(io, options, server, cluster);
    if (!why.empty())
        return Fail(why);
    UseTransport(options, startup, server);
    CAdminSocket admin(io, server, startup.postgres ? std::string() : startup.dbPath);
    if (why = OpenAdminSocket(options, admin); !why.empty())
        return Fail(why);
    std::unique_ptr<CMetricsServer> metrics;
    if (why = OpenMetrics(io, options, server, metrics); !why.empty())
        return Fail(why);
    CServiceNotifier notifier(io);
    if (why = StartListening(options, server); !why.empty())
        return Fail(why);

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& error, int signal) {
        if (error)
            return;
        ServerLog(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
                  "; telling clients and stopping");
        notifier.Stopping();
        server.Shutdown([&io] { io.stop(); });
    });
    // Only now can clients reach the node, and a stop be handled cleanly:
    // systemd starts what waits for the service.
    notifier.Ready();
    RunLoop(io);
    return 0;
}

int Run(int argc, char** argv)
{
    const CParsedOptions parsed = ParseServerOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty())
        return Fail(parsed.error);
    const CServerOptions& options = parsed.options;
    if (options.help) {
        std::fputs(ServerUsage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs("murmurly-server " MURMURLY_VERSION "\n", stdout);
        return 0;
    }
    CStartup startup;
    std::string why = PrepareTransport(options, startup);
    if (why.empty())
        why = PrepareDatabase(options, startup);
    if (!why.empty())
        return Fail(why);
    PrepareLimits(options, startup);

    asio::io_context io;
    // Outlives the server: it commits what is pending once the loop is done.
    CStoreExecutor executor(io, std::move(startup.stores), options.storeTimeout);
    if (const int status = RunNode(io, executor, options, startup); status != 0)
        return status;
    executor.Stop();
    ServerLog("stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The loop catches what its handlers throw; what arrives here failed
    // before it ran.
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        return Fail(std::string("cannot start: ") + error.what());
    }
}
