// Measures what a node does while what it depends on stalls: the database
// slow, cut off without a reset or restarted, NATS far away, stopped or
// killed. Each row starts what it needs on this machine, on loopback only: a
// PostgreSQL of its own (tests/util/pgcluster.sh, as the user postgres when
// run as root), a nats-server, and two nodes on a new database, joined
// through NATS. Node A reaches both through relays in this program that can
// freeze, slow or cut its links (CLinkRelay); node B reaches them directly.
//
// On node A two friends, anna and bob, write to each other one message after
// another (each sent once the one before arrived, and at least a pace
// apart, so that the 30 of them span the row's trouble). The benchmark
// prints the slowest of their delivery latencies and the median, and for
// the rows where it matters, what became of logins, registrations, offline
// messages and messages between the nodes (counted by their ids, with
// receipts), and how often a node declared another dead.
//
//   murmurly-bench-stalls [--rows NAME,...] [--runs N] [--logs]
//
// The rows: quiet, slow-store, frozen-db, far-nats, stopped-nats,
// killed-nats, restarted-db; by default all, each --runs times (2). --logs
// prints what the nodes logged after each row.

#include "benchoptions.h"
#include "commands.h"
#include "crosstraffic.h"
#include "offlinewriter.h"
#include "slowstore.h"
#include "stallclients.h"
#include "stallworld.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Lines = std::vector<std::string>;

// One row's servers, and anna and bob on node A, friends.
struct CRowWorld
{
    CRowWorld(CPgCluster& pg, const std::filesystem::path& dir, const std::string& database,
              const std::vector<std::string>& accounts)
        : pg(pg), nodes(pg, dir, database)
    {
        std::vector<std::string> names = {"anna", "bob"};
        names.insert(names.end(), accounts.begin(), accounts.end());
        RegisterAll(nodes.PortA(), names);
        anna = LogIn(nodes.PortA(), "anna");
        bob = LogIn(nodes.PortA(), "bob");
        MakeFriends(*anna, "anna", *bob, "bob");
    }

    // Their 30 messages, each at least `pace` after the one before.
    std::unique_ptr<CLiveProbe> Probe(std::chrono::milliseconds pace)
    {
        return std::make_unique<CLiveProbe>(*anna, "anna", *bob, "bob", pace);
    }

    CPgCluster& pg;
    CStallNodes nodes;
    std::unique_ptr<CBenchClient> anna;
    std::unique_ptr<CBenchClient> bob;
};

std::string Live(CLiveProbe& probe)
{
    try {
        return "live messages: " + DescribeLatencies(probe.Join());
    } catch (const std::exception& error) {
        return std::string("live messages: ") + error.what();
    }
}

// An offline message to dave, with an id, and what became of it.
CAnswer ForDave(CBenchClient& client)
{
    return Ask(client, StallMessage("dave", "c1", "for later"), {Cmd::MessageAck, Cmd::Failure}, 30s);
}

// A registration on a new connection, and its answer.
CAnswer Register(uint16_t port, const std::string& name)
{
    CBenchClient client(port);
    CNetMessage request;
    request.command = Cmd::Register;
    request.sender = name;
    request.recipient = "pw";
    return Ask(client, request, {Cmd::Registered, Cmd::Failure, Cmd::RegistrationRefused}, 10s);
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string Seconds(StallClock::duration d)
{
    return Seconds(std::chrono::duration<double>(d).count());
}

// How often each node declared the other dead: before `mark` (counts taken
// then) and after it.
std::string Declared(const CStallNodes& nodes, std::pair<int, int> mark)
{
    const int a = nodes.LeftA(), b = nodes.LeftB();
    return "a node declared dead: by A " + CountOf(mark.first) + ", by B " + CountOf(mark.second) +
           " during the outage; by A " + CountOf(a - mark.first) + ", by B " + CountOf(b - mark.second) +
           " after it";
}

Lines Quiet(CRowWorld& w)
{
    auto probe = w.Probe(100ms);
    return {Live(*probe)};
}

Lines SlowStore(CRowWorld& w)
{
    CSlowStore slow(w.nodes.Database());
    slow.SetDelay(300ms);
    auto probe = w.Probe(100ms);
    COfflineWriter writer(w.nodes.PortA(), "carol", {"dave"}, 10, 10);
    writer.Wait();
    slow.SetDelay(0ms);
    return {Live(*probe), "offline messages: " + CountOf(writer.Stored()) + " of 10 stored, " +
                              CountOf(writer.Refused()) + " refused, the last answered after " +
                              Seconds(writer.Seconds())};
}

Lines FrozenDb(CRowWorld& w)
{
    auto carol = LogIn(w.nodes.PortA(), "carol");
    auto probe = w.Probe(400ms);
    w.nodes.DatabaseLink().Freeze();
    auto login = std::async(std::launch::async, [&] { return CTimedLogin(w.nodes.PortA(), "erin", 30s); });
    const CAnswer offline = ForDave(*carol);
    const CAnswer during = login.get().answer;
    Lines lines = {Live(*probe), "an offline message sent as the link froze: " + offline.Describe(),
                   "a login meanwhile: " + during.Describe()};
    w.nodes.DatabaseLink().Cut();
    lines.push_back("a login once the frozen link was cut: " +
                    CTimedLogin(w.nodes.PortA(), "fiona", 30s).answer.Describe());
    return lines;
}

Lines FarNats(CRowWorld& w)
{
    w.nodes.NatsLink().Slow(20ms);
    auto probe = w.Probe(100ms);
    std::vector<double> times;
    std::vector<std::unique_ptr<CBenchClient>> users;
    int answered = 0;
    for (int i = 0; i < 60; ++i) {
        CTimedLogin login(w.nodes.PortA(), "user" + std::to_string(i), 30s);
        answered += login.answer.command == Cmd::LoginAccepted;
        times.push_back(login.answer.seconds * 1000);
        users.push_back(std::move(login.client));
    }
    return {Live(*probe), "60 logins one after another: " + std::to_string(answered) + " accepted; " +
                              DescribeLatencies(times)};
}

Lines StoppedNats(CRowWorld& w)
{
    CCrossTraffic traffic(w.nodes.PortA(), "frank", w.nodes.PortB(), "gina", 20);
    auto probe = w.Probe(700ms);
    const auto start = StallClock::now();
    w.nodes.Nats().Signal(SIGSTOP);
    Lines lines;
    std::vector<std::unique_ptr<CBenchClient>> users;
    for (int i = 0; i < 3; ++i) {
        const auto at = 2s + i * 6s;
        std::this_thread::sleep_until(start + at);
        CTimedLogin login(w.nodes.PortA(), "user" + std::to_string(i), 15s);
        lines.push_back("a login on A at +" + Seconds(at) + ": " + login.answer.Describe());
        users.push_back(std::move(login.client));
    }
    std::this_thread::sleep_until(start + 20s);
    const std::pair marks(w.nodes.LeftA(), w.nodes.LeftB());
    w.nodes.Nats().Signal(SIGCONT);
    lines.insert(lines.begin(), Live(*probe));
    lines.push_back("between the nodes, 20 a second each way: " + traffic.Finish(30s));
    lines.push_back(Declared(w.nodes, marks));
    return lines;
}

Lines KilledNats(CRowWorld& w)
{
    CCrossTraffic traffic(w.nodes.PortA(), "frank", w.nodes.PortB(), "gina", 100);
    auto probe = w.Probe(500ms);
    const auto start = StallClock::now();
    w.nodes.Nats().Kill();
    Lines lines;
    std::pair<int, int> marks;
    for (int i = 0; i < 5; ++i) {
        const auto at = 1s + i * 3s;
        if (i == 3) {
            std::this_thread::sleep_until(start + 8s);
            marks = {w.nodes.LeftA(), w.nodes.LeftB()};
            w.nodes.Nats().Start();
        }
        std::this_thread::sleep_until(start + at);
        lines.push_back("a registration on A at +" + Seconds(at) + ": " +
                        Register(w.nodes.PortA(), "new" + std::to_string(i)).Describe());
    }
    lines.insert(lines.begin(), Live(*probe));
    lines.push_back("between the nodes, 100 a second each way: " + traffic.Finish(30s));
    lines.push_back(Declared(w.nodes, marks));
    return lines;
}

Lines RestartedDb(CRowWorld& w)
{
    auto carol = LogIn(w.nodes.PortA(), "carol");
    auto probe = w.Probe(500ms);
    w.pg.Restart();
    const auto start = StallClock::now();
    std::this_thread::sleep_until(start + 3s);
    Lines lines = {"a login on A 3 s after the restart: " +
                   CTimedLogin(w.nodes.PortA(), "erin", 30s).answer.Describe()};
    std::this_thread::sleep_until(start + 11s);
    lines.push_back("an offline message 11 s after: " + ForDave(*carol).Describe());
    lines.insert(lines.begin(), Live(*probe));
    return lines;
}

struct CRow
{
    const char* name;
    const char* title;
    std::vector<std::string> accounts;
    Lines (*run)(CRowWorld&);
};

std::vector<std::string> Users(int n)
{
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
        names.push_back("user" + std::to_string(i));
    return names;
}

const std::vector<CRow>& Rows()
{
    static const std::vector<CRow> rows = {
        {"quiet", "quiet", {}, Quiet},
        {"slow-store",
         "every store write takes 300 ms while one user sends 10 offline messages",
         {"carol", "dave"},
         SlowStore},
        {"frozen-db",
         "the database link of node A frozen while one offline message is stored",
         {"carol", "dave", "erin", "fiona"},
         FrozenDb},
        {"far-nats", "NATS 20 ms away from node A (each way) while 60 users log in on it", Users(60),
         FarNats},
        {"stopped-nats", "nats-server stopped (SIGSTOP) for 20 s",
         [] {
             auto names = Users(3);
             names.insert(names.end(), {"frank", "gina"});
             return names;
         }(),
         StoppedNats},
        {"killed-nats",
         "nats-server killed for 8 s while two users send 100 messages a second each way",
         {"frank", "gina"},
         KilledNats},
        {"restarted-db", "PostgreSQL restarted", {"carol", "dave", "erin"}, RestartedDb},
    };
    return rows;
}

std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " (1 min), " + five + " (5 min)";
}

int Run(const std::string& only, int runs, bool logs)
{
    std::vector<const CRow*> chosen;
    for (const CRow& row : Rows())
        if (only.empty() || ("," + only + ",").find("," + std::string(row.name) + ",") != std::string::npos)
            chosen.push_back(&row);
    if (chosen.empty())
        throw std::runtime_error("no row is called " + only);
    CTempDir dir;
    CPgCluster pg(dir.Path());
    for (const CRow* row : chosen) {
        std::printf("== %s\n", row->title);
        for (int run = 1; run <= runs; ++run) {
            std::printf("  run %d (load average %s)\n", run, LoadAverage().c_str());
            std::fflush(stdout);
            std::string database = std::string(row->name) + "_" + std::to_string(run);
            std::replace(database.begin(), database.end(), '-', '_');
            Lines lines;
            try {
                CRowWorld world(pg, dir.Path(), database, row->accounts);
                lines = row->run(world);
                if (logs)
                    lines.push_back(world.nodes.Logs());
            } catch (const std::exception& error) {
                lines.push_back(std::string("failed: ") + error.what());
            }
            for (const std::string& line : lines)
                std::printf("    %s\n", line.c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* program = "murmurly-bench-stalls";
    std::string rows;
    int runs = 2;
    bool logs = false;
    if (!ParseBenchOptions(argc, argv, {{"--rows", &rows}, {"--runs", &runs}, {"--logs", &logs}},
                           "murmurly-bench-stalls [--rows NAME,...] [--runs N] [--logs]\n"
                           "  rows: quiet, slow-store, frozen-db, far-nats, stopped-nats, killed-nats, "
                           "restarted-db"))
        return 2;
    if (runs < 1)
        return BenchFail(program, "--runs takes 1 or more", 2);
    return RunBench(program, [&] { return Run(rows, runs, logs); });
}
