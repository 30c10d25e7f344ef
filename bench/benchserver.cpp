// Measures murmurly-server's message routing: N clients register, log in and
// pair up as friends, then each sends M messages to its partner, one in
// flight at a time. Prints messages per second, delivery latency percentiles
// and the server's peak resident memory.
//
//   murmurly-bench-server [--clients N] [--messages M] [--real-hash] [--relay | --tls | --receipts]
//                         [--server PATH]
//   murmurly-bench-server --slow-store MS --db postgresql://... [--clients N] [--messages M]
//   murmurly-bench-server --idle N [--real-hash] [--tls [--stall-handshake | --stall-hello]] [--server PATH]
//   murmurly-bench-server --nodes K [--cluster nats://HOST:PORT] [--db PATH|URI] [--clients N] ...
//   murmurly-bench-server --idle N --half-record [--server PATH]
//   murmurly-bench-server --attacks [--baseline PATH] [--server PATH]
//
// --half-record: the N clients come from 40 loopback hosts and each leaves
// 60 KB of a record unfinished before login; the benchmark prints the RSS
// before, with them and 10 s after they closed. --attacks runs the attacks
// on fairness of benchattacks.cpp, and each against --baseline too when
// given (a server of before --limit-exempt), side by side.
//
// With --nodes, K server processes share one database (--db, by default a
// new SQLite file) and join the cluster at the NATS server given, or at a
// nats-server of the benchmark's own; client i logs in on node i mod K, so
// with two nodes every message crosses between them. As many pairs again
// log in on the first node, and passes within it take turns with those
// between nodes: the benchmark prints the CPU a message costs each way,
// every process counted (nats-server too when it is the benchmark's own).
//
// With --idle, N clients log in and then stay quiet; the benchmark prints the
// server's resident memory and what each connection adds to it. With
// --stall-handshake they instead start a TLS handshake, which the server
// answers, and never finish it; with --stall-hello they send only the first
// half of their ClientHello.
//
// By default the server runs with its cheap test hashing so that setting up
// hundreds of accounts takes seconds; --real-hash uses the production cost
// (and shows its memory in the peak). --tls runs the same load over TLS, with
// a throw-away self-signed certificate.
//
// --receipts gives every message an id, which the server answers with a
// receipt: each of 25 rounds has a pass without ids and one with, and the
// benchmark prints the ratios of all passes together and the median of the
// rounds' own.
// --relay runs the same exchange through a byte relay inside this program as
// well, which forwards each client's bytes to its partner without decoding
// them, and prints both rates and latencies and their ratios: the cost of
// routing over what the sockets and the loop alone cost.
//
// --slow-store MS makes every write of the PostgreSQL store (--db, a new
// database) take MS milliseconds longer, through a trigger (see CSlowStore),
// and takes turns between passes with and without the delay while one more
// user keeps storing offline messages for accounts that never log in. It
// prints the live latency of both kinds of pass: a store that is slow
// should cost the messages that never touch it nothing.

#include "benchattacks.h"
#include "benchclient.h"
#include "benchoptions.h"
#include "commands.h"
#include "linkrelay.h"
#include "natsprocess.h"
#include "offlinewriter.h"
#include "serverprocess.h"
#include "slowstore.h"
#include "testcertificate.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Passes of the exchange through the server and through the relay under
// --relay.
constexpr int kRelayRounds = 5;
// Rounds of a pass without ids and one with under --receipts, each round
// compared on its own: a pause of the machine, which may fall on any pass,
// then moves one round of many rather than the whole run.
constexpr int kReceiptRounds = 25;

struct CBenchOptions
{
    int clients = 200;
    int messages = 50;
    int idle = 0;      // > 0: the idle-connections mode with this many clients
    int slowStore = 0; // > 0: passes with every store write this many ms slower
    bool realHash = false;
    bool relay = false;
    bool receipts = false;
    bool tls = false;
    bool stallHandshake = false;
    bool stallHello = false;
    bool halfRecord = false;
    bool attacks = false;
    std::string baseline;
    std::string server; // empty: the one built with this program
    int nodes = 1;
    std::string cluster; // nats://HOST:PORT, with nodes > 1
    std::string db;      // empty: a new SQLite file in the scratch folder
};

// The server under test, node `index` of options.nodes, on a free port with
// a database in `dir` unless --db names one; the first node makes it.
std::unique_ptr<CServerProcess> StartServer(const CBenchOptions& options, const std::filesystem::path& dir,
                                            int index = 0)
{
    const std::string db = options.db.empty() ? (dir / "bench.db").string() : options.db;
    std::vector<std::string> args = {"--port", "0", "--db", db};
    // The cheap hashing only makes a new database; the other nodes check its
    // hashes at the cost written in each.
    if (!options.realHash && index == 0)
        args.push_back("--fast-hash");
    if (!options.cluster.empty())
        args.insert(args.end(), {"--cluster", options.cluster});
    if (options.tls) {
        const CTestCertificate tls = WriteTestCertificate(dir);
        args.insert(args.end(), {"--tls-cert", tls.cert, "--tls-key", tls.key});
    }
    auto server = std::make_unique<CServerProcess>(dir, std::move(args), true, options.server);
    if (server->Port() == 0)
        throw std::runtime_error("the server did not start:\n" + server->Log());
    return server;
}

// A memory figure of /proc/PID/status in kB, or -1.
long StatusKb(const CServerProcess& server, const std::string& key)
{
    std::ifstream status("/proc/" + std::to_string(server.Pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

// The CPU time a process has used, user and system, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields follow the command name, which is in parentheses and may
    // hold spaces; the first after it is the third, utime the 14th.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::strtod(field.c_str(), nullptr);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string PeakRss(const CServerProcess& server)
{
    const long kb = StatusKb(server, "VmHWM");
    return kb < 0 ? "unknown" : std::to_string(kb) + " kB";
}

std::string Name(int i)
{
    return "bench" + std::to_string(i);
}

// The clients of a second set are named from `first` on.

// `registerOnFirst`: each even client registers its partner too, so that
// every account is made by the first node (see CServerChild).
void SetUp(std::vector<std::unique_ptr<CBenchClient>>& clients, bool registerOnFirst = false, int first = 0)
{
    const int n = static_cast<int>(clients.size());
    const auto Name = [first](int i) { return ::Name(first + i); };
    auto registrar = [&](int i) -> CBenchClient& { return *clients[registerOnFirst ? i & ~1 : i]; };
    for (int i = 0; i < n; ++i)
        registrar(i).Send(Cmd::Register, Name(i), "pw");
    for (int i = 0; i < n; ++i)
        registrar(i).Expect(Cmd::Registered);
    for (int i = 0; i < n; ++i)
        clients[i]->Send(Cmd::Login, Name(i), "pw");
    for (int i = 0; i < n; ++i) {
        clients[i]->Expect(Cmd::LoginAccepted);
        clients[i]->Send(Cmd::FriendsList, Name(i), {});
        clients[i]->Send(Cmd::LoginComplete, Name(i), {});
    }
    for (auto& c : clients)
        c->Expect(Cmd::FriendsListAnswer);
    // Pairs (0,1), (2,3), ...: the even one asks, the odd one accepts and adds.
    for (int i = 0; i + 1 < n; i += 2)
        clients[i]->Send(Cmd::AddFriend, Name(i), Name(i + 1));
    for (int i = 0; i + 1 < n; i += 2) {
        clients[i]->Expect(Cmd::FriendRequestSent);
        clients[i + 1]->Expect(Cmd::FriendRequest);
        clients[i + 1]->Send(Cmd::AcceptAndAdd, Name(i + 1), Name(i), {});
    }
    for (auto& c : clients)
        c->Expect(Cmd::NewFriendOnline);
}

// With `withId` the message carries an id of its own, as a client that was
// offered receipts sends it.
CNetMessage Message(int to, int seq, bool withId)
{
    static long nextId = 0;
    CNetMessage m;
    m.command = Cmd::Message;
    if (withId)
        m.names.push_back("bench-" + std::to_string(++nextId));
    m.recipient = Name(to);
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
    m.text = std::to_string(seq) + " " + std::to_string(now.count());
    m.faceName = "Arial";
    m.font.lfWeight = 400;
    m.size = 200;
    return m;
}

// What the passes of the exchange measured: their total duration and every
// delivery latency in milliseconds (sorted by Finish).
struct CExchange
{
    double seconds = 0;
    std::vector<double> latencies;
    double serverCpu = 0; // seconds, every node together
    double benchCpu = 0;
    // Each server process's part of serverCpu: the nodes in order, then
    // the benchmark's nats-server.
    std::vector<double> processCpu;

    void Finish() { std::sort(latencies.begin(), latencies.end()); }
    void Add(const CExchange& pass)
    {
        seconds += pass.seconds;
        latencies.insert(latencies.end(), pass.latencies.begin(), pass.latencies.end());
        serverCpu += pass.serverCpu;
        benchCpu += pass.benchCpu;
    }
    double Rate() const { return static_cast<double>(latencies.size()) / seconds; }
    double Percentile(double p) const
    {
        return latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(p * latencies.size()))];
    }
};

// One pass: each client sends `messages` messages to its partner (i ^ 1), the
// next one as soon as the partner has received the previous one; `incoming`
// is the command the partner receives them as. Adds to `result`.
void Exchange(std::vector<std::unique_ptr<CBenchClient>>& clients, int messages, const std::string& incoming,
              CExchange& result, bool withIds = false, int first = 0)
{
    const int n = static_cast<int>(clients.size());
    const long total = static_cast<long>(n) * messages;
    result.latencies.reserve(result.latencies.size() + static_cast<std::size_t>(total));
    // epoll rather than poll: a wait then costs what is ready, not all n
    // sockets, so that this program's share of the machine stays small.
    struct CEpoll
    {
        const int fd = ::epoll_create1(EPOLL_CLOEXEC);
        ~CEpoll() { ::close(fd); }
    } epoll;
    for (int i = 0; i < n; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        ::epoll_ctl(epoll.fd, EPOLL_CTL_ADD, clients[i]->Fd(), &ev);
    }
    std::vector<epoll_event> ready(static_cast<std::size_t>(n));

    const auto start = Clock::now();
    for (int i = 0; i < n; ++i)
        clients[i]->Send(Message(first + (i ^ 1), 0, withIds));
    long received = 0;
    while (received < total) {
        const int count = ::epoll_wait(epoll.fd, ready.data(), n, 30000);
        if (count <= 0)
            throw std::runtime_error("no progress for 30 s after " + std::to_string(received) + " messages");
        for (int k = 0; k < count; ++k) {
            const int i = static_cast<int>(ready[k].data.u32);
            if (!clients[i]->ReadAvailable())
                throw std::runtime_error("the server closed a client connection");
            while (auto msg = clients[i]->Next()) {
                if (msg->command != incoming)
                    continue;
                std::istringstream fields(msg->text);
                long long seq = 0, sentNs = 0;
                fields >> seq >> sentNs;
                const auto nowNs =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                        .count();
                result.latencies.push_back(static_cast<double>(nowNs - sentNs) / 1e6);
                ++received;
                // The partner may send its next one now.
                if (seq + 1 < messages)
                    clients[i ^ 1]->Send(Message(first + i, static_cast<int>(seq + 1), withIds));
            }
        }
    }
    result.seconds += std::chrono::duration<double>(Clock::now() - start).count();
}

// The ratios of the rounds under --receipts.
struct CRoundRatios
{
    std::vector<double> rate;
    std::vector<double> p99;

    // "median 0.91x (0.86x to 0.95x)"
    static std::string Describe(std::vector<double> ratios)
    {
        std::sort(ratios.begin(), ratios.end());
        char text[96];
        std::snprintf(text, sizeof text, "median %.2fx (%.2fx to %.2fx)", ratios[ratios.size() / 2],
                      ratios.front(), ratios.back());
        return text;
    }
};

// Under --slow-store: the trigger, and a user who keeps storing offline
// messages for accounts that never log in.
struct CSlowWrites
{
    static constexpr int kSinks = 50; // each keeps at most 10,000 messages

    CSlowWrites(const CBenchOptions& options, uint16_t port) : store(options.db)
    {
        CBenchClient registrar(port);
        std::vector<std::string> sinks;
        for (int i = 0; i < kSinks; ++i)
            sinks.push_back("sink" + std::to_string(i));
        for (const std::string& name : sinks)
            registrar.Send(Cmd::Register, name, "pw");
        registrar.Send(Cmd::Register, "writer", "pw");
        for (int i = 0; i <= kSinks; ++i)
            registrar.Expect(Cmd::Registered);
        writer = std::make_unique<COfflineWriter>(port, "writer", std::move(sinks), 8);
    }

    // Runs `pass` with the delay at `delay`, and counts what was stored
    // meanwhile in `stored`.
    template <typename Pass> void Run(std::chrono::milliseconds delay, long& stored, Pass pass)
    {
        store.SetDelay(delay);
        const long before = writer->Stored();
        pass();
        stored += writer->Stored() - before;
    }

    CSlowStore store;
    std::unique_ptr<COfflineWriter> writer;
};

int Run(const CBenchOptions& options)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "murmurly-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    const std::filesystem::path dir = pattern;
    CExchange routed;
    CExchange relayed;
    CExchange acknowledged;
    CExchange slowed;
    CExchange local;
    CRoundRatios receiptRounds;
    long storedFast = 0;
    long storedSlow = 0;
    std::string peak;
    {
        // Without --cluster, a nats-server of the benchmark's own, whose CPU
        // counts with the nodes'.
        std::unique_ptr<CNatsProcess> nats;
        CBenchOptions nodeOptions = options;
        if (options.nodes > 1 && options.cluster.empty()) {
            nats = std::make_unique<CNatsProcess>(dir);
            nodeOptions.cluster = nats->Url();
        }
        std::vector<std::unique_ptr<CServerProcess>> nodes;
        for (int k = 0; k < options.nodes; ++k)
            nodes.push_back(StartServer(nodeOptions, dir, k));
        std::vector<std::unique_ptr<CBenchClient>> clients;
        for (int i = 0; i < options.clients; ++i)
            clients.push_back(std::make_unique<CBenchClient>(nodes[i % options.nodes]->Port(), options.tls));

        const auto setupStart = Clock::now();
        SetUp(clients, options.nodes > 1);
        // With nodes, as many pairs again, all on the first node: passes
        // within a node take turns with those between nodes.
        std::vector<std::unique_ptr<CBenchClient>> localClients;
        if (options.nodes > 1) {
            for (int i = 0; i < options.clients; ++i)
                localClients.push_back(std::make_unique<CBenchClient>(nodes.front()->Port()));
            SetUp(localClients, false, options.clients);
        }
        const double setupSeconds = std::chrono::duration<double>(Clock::now() - setupStart).count();
        std::printf("setup: %d clients registered, logged in and paired in %.2f s\n", options.clients,
                    setupSeconds);

        // The relay pairs connections in the order it accepts them, which
        // is the order they are made here.
        std::unique_ptr<CLinkRelay> relay;
        std::vector<std::unique_ptr<CBenchClient>> relayClients;
        if (options.relay) {
            relay = std::make_unique<CLinkRelay>();
            for (int i = 0; i < options.clients; ++i)
                relayClients.push_back(std::make_unique<CBenchClient>(relay->Port()));
        }
        // Against the relay the two take turns, several passes each, so that
        // a burst of load elsewhere on the machine falls on both alike.
        // What a pass costs the nodes and this program.
        const auto cpu = [&] {
            std::vector<double> servers;
            for (const auto& node : nodes)
                servers.push_back(CpuSeconds(node->Pid()));
            if (nats)
                servers.push_back(CpuSeconds(nats->Pid()));
            return std::make_pair(servers, CpuSeconds(::getpid()));
        };
        const auto measured = [&](CExchange& result, auto&& pass) {
            const auto before = cpu();
            pass();
            const auto after = cpu();
            result.processCpu.resize(after.first.size());
            for (std::size_t k = 0; k < after.first.size(); ++k) {
                result.processCpu[k] += after.first[k] - before.first[k];
                result.serverCpu += after.first[k] - before.first[k];
            }
            result.benchCpu += after.second - before.second;
        };
        std::unique_ptr<CSlowWrites> slow;
        if (options.slowStore > 0)
            slow = std::make_unique<CSlowWrites>(options, nodes.front()->Port());
        const auto delay = std::chrono::milliseconds(options.slowStore);
        const int rounds = options.receipts                                     ? kReceiptRounds
                           : options.relay || slow || options.nodes > 1 ? kRelayRounds
                                                                        : 1;
        for (int round = 0; round < rounds; ++round) {
            if (options.receipts) {
                // Which pass comes first changes each round.
                CExchange plain;
                CExchange withIds;
                for (const bool ids : {round % 2 == 1, round % 2 == 0}) {
                    CExchange& pass = ids ? withIds : plain;
                    measured(pass, [&] { Exchange(clients, options.messages, Cmd::IncomingMessage, pass, ids); });
                }
                plain.Finish();
                withIds.Finish();
                receiptRounds.rate.push_back(withIds.Rate() / plain.Rate());
                receiptRounds.p99.push_back(withIds.Percentile(0.99) / plain.Percentile(0.99));
                routed.Add(plain);
                acknowledged.Add(withIds);
                continue;
            }
            const auto routedPass = [&] {
                measured(routed, [&] { Exchange(clients, options.messages, Cmd::IncomingMessage, routed); });
            };
            if (slow)
                slow->Run(std::chrono::milliseconds(0), storedFast, routedPass);
            else
                routedPass();
            if (relay)
                Exchange(relayClients, options.messages, Cmd::Message, relayed);
            if (!localClients.empty())
                measured(local, [&] {
                    Exchange(localClients, options.messages, Cmd::IncomingMessage, local, false, options.clients);
                });
            if (slow)
                slow->Run(delay, storedSlow,
                          [&] { Exchange(clients, options.messages, Cmd::IncomingMessage, slowed); });
        }
        if (slow) {
            slow->store.SetDelay(std::chrono::milliseconds(0));
            slow->writer->Stop();
        }
        peak = PeakRss(*nodes.front());
        for (std::size_t k = 1; k < nodes.size(); ++k)
            peak += ", node " + std::to_string(k + 1) + ": " + PeakRss(*nodes[k]);
    }
    std::filesystem::remove_all(dir);

    routed.Finish();
    if (options.relay)
        std::printf("%d passes each through the server and the relay, taking turns\n", kRelayRounds);
    if (options.receipts)
        std::printf("%d rounds of a pass without ids and one with ids (receipts)\n", kReceiptRounds);
    std::printf("messages: %zu in %.2f s = %.0f messages/s\n", routed.latencies.size(), routed.seconds,
                routed.Rate());
    std::printf("delivery latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", routed.Percentile(0.50),
                routed.Percentile(0.99), routed.latencies.back());
    std::printf("server peak RSS (VmHWM): %s\n", peak.c_str());
    const auto perMessage = [](double seconds, const CExchange& e) {
        return seconds * 1e6 / static_cast<double>(e.latencies.size());
    };
    const std::size_t nodes = static_cast<std::size_t>(options.nodes);
    const char* servers = options.nodes == 1              ? "the server"
                          : options.cluster.empty() ? "the nodes and nats-server"
                                                    : "the nodes";
    const auto parts = [&](const CExchange& e) {
        std::string text;
        if (e.processCpu.size() < 2)
            return text;
        for (std::size_t k = 0; k < e.processCpu.size(); ++k) {
            char part[64];
            std::snprintf(part, sizeof part, "%s%s %.1f", k == 0 ? " (" : ", ",
                          k < nodes ? ("node " + std::to_string(k + 1)).c_str() : "nats-server",
                          perMessage(e.processCpu[k], e));
            text += part;
        }
        return text + ")";
    };
    std::printf("CPU per message: %.1f us in %s%s, %.1f us in this program\n", perMessage(routed.serverCpu, routed),
                servers, parts(routed).c_str(), perMessage(routed.benchCpu, routed));
    if (options.nodes > 1) {
        local.Finish();
        std::printf("%d passes each between nodes (above) and within the first node, taking turns\n", kRelayRounds);
        std::printf("within a node: %zu in %.2f s = %.0f messages/s\n", local.latencies.size(), local.seconds,
                    local.Rate());
        std::printf("within a node latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", local.Percentile(0.50),
                    local.Percentile(0.99), local.latencies.back());
        std::printf("within a node CPU per message: %.1f us in %s%s, %.1f us in this program\n",
                    perMessage(local.serverCpu, local), servers, parts(local).c_str(),
                    perMessage(local.benchCpu, local));
        const double between = perMessage(routed.serverCpu + routed.benchCpu, routed);
        const double within = perMessage(local.serverCpu + local.benchCpu, local);
        std::printf("between nodes / within a node: %.2fx the CPU per message, all processes counted%s\n",
                    between / within,
                    options.cluster.empty() ? " (goal at most 1.5x)" : ", but not the NATS server given");
    }

    if (options.relay) {
        relayed.Finish();
        std::printf("relay messages: %zu in %.2f s = %.0f messages/s\n", relayed.latencies.size(),
                    relayed.seconds, relayed.Rate());
        std::printf("relay latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", relayed.Percentile(0.50),
                    relayed.Percentile(0.99), relayed.latencies.back());
        std::printf("server / relay: %.2fx the messages/s (goal at least 0.6x), %.2fx the p99 latency "
                    "(goal at most 1.5x)\n",
                    routed.Rate() / relayed.Rate(), routed.Percentile(0.99) / relayed.Percentile(0.99));
    }
    if (options.slowStore > 0) {
        slowed.Finish();
        std::printf("%d passes each with every store write as it is and %d ms slower, taking turns, while "
                    "one more user stores offline messages\n",
                    kRelayRounds, options.slowStore);
        std::printf("with the slow store: %zu in %.2f s = %.0f messages/s\n", slowed.latencies.size(),
                    slowed.seconds, slowed.Rate());
        std::printf("with the slow store latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    slowed.Percentile(0.50), slowed.Percentile(0.99), slowed.latencies.back());
        std::printf("offline messages stored meanwhile: %ld without the delay, %ld with it\n", storedFast,
                    storedSlow);
        std::printf("slow store / as it is: %.2fx the p99 latency (goal at most 1.2x)\n",
                    slowed.Percentile(0.99) / routed.Percentile(0.99));
    }
    if (options.receipts) {
        acknowledged.Finish();
        std::printf("with receipts: %zu in %.2f s = %.0f messages/s\n", acknowledged.latencies.size(),
                    acknowledged.seconds, acknowledged.Rate());
        std::printf("with receipts latency: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    acknowledged.Percentile(0.50), acknowledged.Percentile(0.99), acknowledged.latencies.back());
        std::printf("with receipts CPU per message: %.1f us in the server, %.1f us in this program\n",
                    perMessage(acknowledged.serverCpu, acknowledged), perMessage(acknowledged.benchCpu, acknowledged));
        std::printf("receipts / none, all passes together: %.2fx the messages/s, %.2fx the p99 latency\n",
                    acknowledged.Rate() / routed.Rate(), acknowledged.Percentile(0.99) / routed.Percentile(0.99));
        std::printf("receipts / none, round by round: %s the messages/s (goal at least 0.85x), %s the p99 "
                    "latency (goal at most 1.2x)\n",
                    receiptRounds.Describe(receiptRounds.rate).c_str(),
                    receiptRounds.Describe(receiptRounds.p99).c_str());
    }
    return 0;
}

// Every client takes a descriptor here and one in the server.
void RaiseOpenFileLimit(int clients)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < static_cast<rlim_t>(clients) + 64)
        throw std::runtime_error("the open-file limit of " + std::to_string(limit.rlim_cur) +
                                 " is too low for " + std::to_string(clients) + " clients");
}

// Sends the ClientHello and waits until the server has answered it: the
// server then holds the handshake half done.
void StallHandshake(CBenchClient& client, const std::string& hello)
{
    if (::send(client.Fd(), hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size()))
        throw std::runtime_error("cannot send the ClientHello");
    pollfd fd{client.Fd(), POLLIN, 0};
    if (::poll(&fd, 1, 30000) <= 0)
        throw std::runtime_error("the server did not answer a ClientHello");
}

// Whether the server has closed the client's connection; reads and drops
// what it sent before.
bool ClosedByServer(CBenchClient& client)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(client.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

int RunIdle(const CBenchOptions& options)
{
    RaiseOpenFileLimit(options.idle);
    std::string pattern = (std::filesystem::temp_directory_path() / "murmurly-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    const std::filesystem::path dir = pattern;
    {
        const auto server = StartServer(options, dir);
        const long before = StatusKb(*server, "VmRSS");
        const int n = options.idle;
        std::vector<std::unique_ptr<CBenchClient>> clients;
        clients.reserve(static_cast<std::size_t>(n));
        const auto start = Clock::now();
        const bool stall = options.stallHandshake || options.stallHello;
        const std::string hello = stall ? MakeClientHello() : std::string();
        // In batches, so that neither the listen queue nor the password
        // workers are flooded.
        constexpr int kBatch = 500;
        for (int i = 0; i < n && stall; ++i) {
            clients.push_back(std::make_unique<CBenchClient>(server->Port()));
            if (options.stallHandshake)
                StallHandshake(*clients.back(), hello);
            else if (::send(clients.back()->Fd(), hello.data(), hello.size() / 2, MSG_NOSIGNAL) <= 0)
                throw std::runtime_error("cannot send half a ClientHello");
        }
        if (options.stallHello) {
            // A whole handshake behind them: the server has taken every
            // connection before it.
            CBenchClient probe(server->Port(), true);
            probe.Send(Cmd::Register, "probe", "pw");
            probe.Expect(Cmd::Registered);
        }
        for (int first = 0; first < n && !stall; first += kBatch) {
            const int last = std::min(n, first + kBatch);
            for (int i = first; i < last; ++i) {
                clients.push_back(std::make_unique<CBenchClient>(server->Port(), options.tls));
                clients[i]->Send(Cmd::Register, Name(i), "pw");
            }
            for (int i = first; i < last; ++i) {
                clients[i]->Expect(Cmd::Registered);
                clients[i]->Send(Cmd::Login, Name(i), "pw");
            }
            for (int i = first; i < last; ++i) {
                clients[i]->Expect(Cmd::LoginAccepted);
                clients[i]->Send(Cmd::FriendsList, Name(i), {});
                clients[i]->Send(Cmd::LoginComplete, Name(i), {});
                // Its answer shows that "SLO" was served before it.
                clients[i]->Send(Cmd::BlockedList, Name(i), {});
            }
            for (int i = first; i < last; ++i)
                clients[i]->Expect(Cmd::BlockedListAnswer);
        }
        std::printf("setup: %d clients %s in %.2f s\n", n,
                    options.stallHandshake ? "sent their ClientHello and stopped"
                    : options.stallHello   ? "sent half of their ClientHello and stopped"
                                           : "registered and logged in",
                    std::chrono::duration<double>(Clock::now() - start).count());
        const long rss = StatusKb(*server, "VmRSS");
        std::printf("server RSS: %.1f MB idle before the clients, %.1f MB with %d %s\n", before / 1024.0,
                    rss / 1024.0, n, stall ? "stalled TLS handshakes" : "logged-in idle connections");
        if (stall) {
            const auto closed = std::count_if(clients.begin(), clients.end(),
                                              [](const auto& client) { return ClosedByServer(*client); });
            std::printf("the server closed %ld of them and keeps %ld\n", static_cast<long>(closed),
                        static_cast<long>(n - closed));
        }
        std::printf("per connection: %.1f KB of RSS (total / N), %.1f KB above the idle server\n",
                    static_cast<double>(rss) / n, static_cast<double>(rss - before) / n);
    }
    std::filesystem::remove_all(dir);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* program = "murmurly-bench-server";
    CBenchOptions options;
    if (!ParseBenchOptions(
            argc, argv,
            {{"--clients", &options.clients},
             {"--messages", &options.messages},
             {"--idle", &options.idle},
             {"--slow-store", &options.slowStore},
             {"--server", &options.server},
             {"--nodes", &options.nodes},
             {"--cluster", &options.cluster},
             {"--db", &options.db},
             {"--real-hash", &options.realHash},
             {"--relay", &options.relay},
             {"--receipts", &options.receipts},
             {"--tls", &options.tls},
             {"--stall-handshake", &options.stallHandshake},
             {"--stall-hello", &options.stallHello},
             {"--half-record", &options.halfRecord},
             {"--attacks", &options.attacks},
             {"--baseline", &options.baseline}},
            "murmurly-bench-server [--clients N] [--messages M] [--real-hash] "
            "[--relay | --tls | --receipts] [--server PATH]\n"
            "       murmurly-bench-server --idle N [--real-hash] [--tls [--stall-handshake | --stall-hello]] "
            "[--server PATH]\n"
            "       murmurly-bench-server --nodes K [--cluster nats://HOST:PORT] [--db PATH|URI] "
            "[--clients N] [--messages M]\n"
            "       murmurly-bench-server --slow-store MS --db postgresql://... "
            "[--clients N] [--messages M]\n"
            "       murmurly-bench-server --idle N --half-record [--server PATH]\n"
            "       murmurly-bench-server --attacks [--baseline PATH] [--server PATH]"))
        return 2;
    if (options.attacks || options.halfRecord) {
        RaiseOpenFileLimit(options.halfRecord ? options.idle : 12'000);
        if (options.halfRecord && options.idle <= 0)
            return BenchFail(program, "--half-record goes with --idle N", 2);
        return RunBench(program, [&] {
            return options.attacks ? RunAttacks(options.server, options.baseline)
                                   : RunHalfRecords(options.idle, options.server);
        });
    }
    if (options.slowStore < 0 || (options.slowStore > 0 && (options.relay || options.receipts ||
                                                            options.idle > 0 || options.nodes > 1)))
        return BenchFail(program, "--slow-store MS takes a delay of 1 ms or more, and goes alone", 2);
    const bool postgres =
        options.db.rfind("postgresql://", 0) == 0 || options.db.rfind("postgres://", 0) == 0;
    if (options.slowStore > 0 && !postgres)
        return BenchFail(program,
                         "--slow-store slows the store down through a PostgreSQL trigger: "
                         "give --db postgresql://... (a new database)",
                         2);
    if (options.nodes < 1 ||
        (options.nodes > 1 && (options.idle > 0 || options.relay)))
        return BenchFail(program, "--nodes above 1 goes without --idle and --relay", 2);
    if ((options.stallHandshake || options.stallHello) &&
        (options.idle <= 0 || !options.tls || (options.stallHandshake && options.stallHello)))
        return BenchFail(program, "--stall-handshake or --stall-hello goes with --idle N --tls", 2);
    if (options.idle > 0)
        return RunBench(program, [&] { return RunIdle(options); });
    if (options.relay && options.tls)
        return BenchFail(program, "the relay forwards clear text; --relay and --tls go apart", 2);
    if (options.clients < 2 || options.clients % 2 != 0 || options.messages < 1)
        return BenchFail(program, "--clients must be even and at least 2, --messages at least 1", 2);
    return RunBench(program, [&] { return Run(options); });
}
