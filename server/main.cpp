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

    // Clear text carries passwords as they are: only on this machine, unless
    // the operator says the network is private.
    asio::error_code addressError;
    const auto address = asio::ip::make_address(options.address, addressError);
    const bool beyondLoopback = !addressError && !address.is_loopback();
    if (options.tlsCert.empty() && beyondLoopback && !options.allowPlaintext)
        return Fail("refusing to listen on " + options.address +
                    " without TLS: give --tls-cert and --tls-key, or --allow-plaintext on a private network");
    std::unique_ptr<asio::ssl::context> tls;
    if (!options.tlsCert.empty()) {
        try {
            tls = MakeServerTlsContext(options.tlsCert, options.tlsKey);
        } catch (const std::exception& error) {
            return Fail(error.what());
        }
    }

    std::string dbPath = options.dbPath;
    const bool postgres = IsPostgresUri(dbPath);
    if (dbPath.empty()) {
        dbPath = DefaultDatabasePath();
        if (dbPath.empty())
            return Fail("neither XDG_DATA_HOME nor HOME is set; give --db PATH");
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(dbPath).parent_path(), error);
        if (error)
            return Fail("cannot create the data folder for " + dbPath + ": " + error.message());
    }
    const std::string shownDb = DisplayDatabase(dbPath);

    // Cheap hashes must never guard real accounts: with them the server only
    // makes a new, throw-away database.
    const std::string fastHashRefused =
        "--fast-hash only makes a new database, and " + shownDb + " already exists";
    if (options.fastHash && !postgres && std::filesystem::exists(dbPath))
        return Fail(fastHashRefused);

    const rlim_t files = RaiseOpenFileLimit();
    ServerLog("starting; database " + shownDb + "; open-file limit " +
              (files == RLIM_INFINITY ? std::string("unlimited") : std::to_string(files)));
    // One store per lane of the store executor: SQLite writes through one
    // connection, PostgreSQL takes a few.
    std::vector<std::unique_ptr<CStore>> stores;
    try {
        if (postgres) {
            auto pg = std::make_unique<CPgStore>(dbPath, options.storeTimeout);
            // A PostgreSQL database exists before the server comes; what
            // counts is whether it already held our schema.
            if (options.fastHash && pg->FoundSchemaVersion() > 0)
                return Fail(fastHashRefused);
            stores.push_back(std::move(pg));
            while (stores.size() < kPostgresConnections)
                stores.push_back(std::make_unique<CPgStore>(dbPath, options.storeTimeout));
        } else {
            stores.push_back(std::make_unique<CSqliteStore>(dbPath));
        }
    } catch (const std::exception& error) {
        return Fail(std::string("unusable database: ") + error.what());
    }

    CServerLimits limits = options.limits;
    if (!limits.storeQuotaGiven && !postgres)
        limits.storeQuota = StoreQuotaForDisk(dbPath);
    ServerLog(
        "offline messages: at most " + std::to_string(limits.senderQuota >> 20) + " MiB from one sender, " +
        (limits.storeQuota > 0 ? std::to_string(limits.storeQuota >> 20) + " MiB" : std::string("no bound")) +
        " in all");

    asio::io_context io;
    // Outlives the server: it commits what is pending once the loop is done.
    CStoreExecutor executor(io, std::move(stores), options.storeTimeout);
    {
        CServer server(io, executor,
                       options.fastHash ? CPasswordHasher::Cost::Minimum : CPasswordHasher::Cost::Interactive,
                       limits);
        // Declared after the server: it goes first, and nothing it posted
        // reaches the server after that.
        std::unique_ptr<CNatsCluster> cluster;
        if (!options.clusterUrl.empty()) {
            try {
                cluster = std::make_unique<CNatsCluster>(io, options.clusterUrl, server.ClusterListener());
            } catch (const std::exception& error) {
                return Fail(error.what());
            }
            server.UseCluster(*cluster);
            ServerLog("cluster node " + cluster->NodeId() + " at " + options.clusterUrl);
        }
        if (tls) {
            server.UseTls(*tls);
            ServerLog("TLS only, certificate chain " + options.tlsCert);
        } else if (beyondLoopback) {
            ServerLog("warning: --allow-plaintext: passwords and messages to " + options.address +
                      " travel unencrypted");
        }
        // The operator's socket. One given by name must work; the default
        // one may be held by another server of the same user (tests, a
        // second instance), which is no reason to refuse to serve.
        CAdminSocket admin(io, server, postgres ? std::string() : dbPath);
        const std::string adminPath =
            options.adminSocket.empty() ? DefaultAdminSocket() : options.adminSocket;
        if (adminPath.empty()) {
            ServerLog("no admin socket: give --admin-socket PATH, or set XDG_RUNTIME_DIR");
        } else {
            try {
                admin.Listen(adminPath);
                ServerLog("admin socket " + adminPath);
            } catch (const std::exception& error) {
                if (!options.adminSocket.empty())
                    return Fail("cannot use the admin socket " + adminPath + ": " + error.what());
                ServerLog("no admin socket: " + adminPath + ": " + error.what());
            }
        }
        std::unique_ptr<CMetricsServer> metrics;
        if (!options.metrics.empty()) {
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
                return Fail("cannot serve metrics on " + options.metrics + ": " + error.what());
            }
        }
        CServiceNotifier notifier(io);
        try {
            const auto endpoint = server.Listen(options.address, options.port);
            ServerLog("serving at most " + std::to_string(server.Limits().maxConnections) + " connections");
            ServerLog("listening on " + endpoint.address().to_string() + ":" +
                      std::to_string(endpoint.port()));
        } catch (const std::exception& error) {
            return Fail("cannot listen on " + options.address + ":" + std::to_string(options.port) + ": " +
                        error.what());
        }

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

        // Handlers catch what they throw; should anything still escape, it
        // costs at most the work it was doing, not the service.
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
