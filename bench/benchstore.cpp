// Measures how fast murmurly-server stores offline messages: S logged-in
// senders each send M messages to accounts that never log in, in bursts of B
// records per write, round-robin over the senders. Each sender then asks for
// its blocked list, which the server answers only once everything before it
// is committed, so the clock stops when every message is durable. After a
// clean stop the rows in the database are counted.
//
//   murmurly-bench-store [--senders S] [--messages M] [--burst B] [--dir PATH] [--server PATH]
//
// The database goes to a scratch folder under PATH (default: the temporary
// folder); put it on the disk you mean to measure, since every commit is
// synced.

#include "benchclient.h"
#include "benchoptions.h"
#include "commands.h"
#include "serverprocess.h"
#include "wire.h"

#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct CStoreBenchOptions
{
    int senders = 50;
    int messages = 2000;
    int burst = 50;
    std::string dir = std::filesystem::temp_directory_path().string();
    std::string server; // empty: the one built with this program
};

long long CountRows(const std::filesystem::path& db)
{
    sqlite3* handle = nullptr;
    long long rows = -1;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(handle, "SELECT count(*) FROM offline_message", -1, &stmt, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            rows = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(handle);
    return rows;
}

int Run(const CStoreBenchOptions& options)
{
    std::string pattern = (std::filesystem::path(options.dir) / "murmurly-bench-store-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a scratch folder in " + options.dir);
    const std::filesystem::path dir = pattern;
    const std::filesystem::path db = dir / "bench.db";
    const int n = options.senders;
    const long long total = static_cast<long long>(n) * options.messages;
    double seconds = 0;
    {
        CServerProcess server(dir, {"--port", "0", "--db", db.string(), "--fast-hash"}, true, options.server);
        if (server.Port() == 0)
            throw std::runtime_error("the server did not start:\n" + server.Log());
        auto sender = [](int i) { return "sender" + std::to_string(i); };
        auto sink = [](int i) { return "sink" + std::to_string(i); };

        CBenchClient registrar(server.Port());
        for (int i = 0; i < n; ++i)
            registrar.Send(Cmd::Register, sink(i), "pw");
        for (int i = 0; i < n; ++i)
            registrar.Expect(Cmd::Registered);
        std::vector<std::unique_ptr<CBenchClient>> clients;
        for (int i = 0; i < n; ++i) {
            clients.push_back(std::make_unique<CBenchClient>(server.Port()));
            clients.back()->Send(Cmd::Register, sender(i), "pw");
            clients.back()->Send(Cmd::Login, sender(i), "pw");
        }
        for (auto& c : clients) {
            c->Expect(Cmd::Registered);
            c->Expect(Cmd::LoginAccepted);
        }

        // Sender i writes to sinks i, i+1, ...: every sink gets mail from
        // many senders, as a busy server's offline users do.
        const auto start = Clock::now();
        std::vector<int> sent(static_cast<std::size_t>(n), 0);
        for (bool more = true; more;) {
            more = false;
            for (int i = 0; i < n; ++i) {
                std::string burst;
                for (int k = 0; k < options.burst && sent[i] < options.messages; ++k, ++sent[i]) {
                    CNetMessage m;
                    m.command = Cmd::Message;
                    m.recipient = sink((i + sent[i]) % n);
                    m.text = "offline message " + std::to_string(sent[i]) + " from " + sender(i);
                    m.faceName = "Arial";
                    m.font.lfWeight = 400;
                    m.size = 200;
                    EncodeRecord(m, burst);
                }
                if (!burst.empty())
                    clients[i]->SendRaw(burst);
                more = more || sent[i] < options.messages;
            }
        }
        for (int i = 0; i < n; ++i)
            clients[i]->Send(Cmd::BlockedList, sender(i), {});
        try {
            for (auto& c : clients)
                c->Expect(Cmd::BlockedListAnswer, std::chrono::seconds(300));
        } catch (const std::exception& error) {
            // The server's log says why.
            throw std::runtime_error(error.what() + std::string("; the server's log:\n") + server.Log());
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        server.Stop(SIGTERM);
    }
    const long long rows = CountRows(db);
    std::filesystem::remove_all(dir);

    std::printf(
        "offline messages: %lld from %d senders in bursts of %d, stored in %.2f s = %.0f messages/s\n", total,
        n, options.burst, seconds, static_cast<double>(total) / seconds);
    std::printf("rows in the database after the stop: %lld%s\n", rows,
                rows == total ? "" : " (MISSING SOME)");
    return rows == total ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const char* program = "murmurly-bench-store";
    CStoreBenchOptions options;
    if (!ParseBenchOptions(argc, argv,
                           {{"--senders", &options.senders},
                            {"--messages", &options.messages},
                            {"--burst", &options.burst},
                            {"--dir", &options.dir},
                            {"--server", &options.server}},
                           "murmurly-bench-store [--senders S] [--messages M] [--burst B] [--dir PATH] "
                           "[--server PATH]"))
        return 2;
    if (options.senders < 1 || options.messages < 1 || options.burst < 1)
        return BenchFail(program, "--senders, --messages and --burst must be at least 1", 2);
    return RunBench(program, [&] { return Run(options); });
}
