#include "server.h"
#include "serverlog.h"
#include "serveroptions.h"
#include "store/sqlitestore.h"

#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

int Fail(const std::string& line)
{
    std::fprintf(stderr, "murmurly-server: %s\n", line.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const CParsedOptions parsed = ParseServerOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty())
        return Fail(parsed.error);
    const CServerOptions& options = parsed.options;
    if (options.help) {
        std::fputs(ServerUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs("murmurly-server " MURMURLY_VERSION "\n", stdout);
        return 0;
    }

    std::string dbPath = options.dbPath;
    if (dbPath.empty()) {
        dbPath = DefaultDatabasePath();
        if (dbPath.empty())
            return Fail("neither XDG_DATA_HOME nor HOME is set; give --db PATH");
        std::error_code error;
        std::filesystem::create_directories(std::filesystem::path(dbPath).parent_path(), error);
        if (error)
            return Fail("cannot create the data folder for " + dbPath + ": " + error.message());
    }

    ServerLog("starting; database " + dbPath);
    std::unique_ptr<CSqliteStore> store;
    try {
        store = std::make_unique<CSqliteStore>(dbPath);
    } catch (const CStoreError& error) {
        return Fail(std::string("unusable database: ") + error.what());
    }

    asio::io_context io;
    int status = 0;
    {
        CServer server(io, *store,
                       options.fastHash ? CPasswordHasher::Cost::Minimum
                                        : CPasswordHasher::Cost::Interactive);
        try {
            const auto endpoint = server.Listen(options.address, options.port);
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
            server.Shutdown([&io] { io.stop(); });
        });

        try {
            io.run();
        } catch (const std::exception& error) {
            ServerLog(std::string("fatal: ") + error.what());
            status = 1;
        }
    }
    store.reset();
    ServerLog("stopped");
    return status;
}
