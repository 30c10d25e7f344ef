// The server under attack, as an attacker on this machine would try it, with
// loopback addresses other than 127.0.0.1 standing for remote hosts (a server
// that has --limit-exempt is told to spare 127.0.0.1 only). Each row starts a
// server of its own; with a baseline, the same row runs against it too, and
// the two figures stand side by side.

#include "benchattacks.h"

#include "benchclient.h"
#include "commands.h"
#include "serverprocess.h"
#include "testcertificate.h"
#include "wire.h"

#include <openssl/ssl.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The sockets of a crowd, closed with the object.
class CSockets
{
public:
    ~CSockets() { CloseAll(); }
    void Add(int fd) { m_fds.push_back(fd); }
    std::size_t Size() const { return m_fds.size(); }
    const std::vector<int>& Fds() const { return m_fds; }
    void CloseAll()
    {
        for (const int fd : m_fds)
            ::close(fd);
        m_fds.clear();
    }
    // How many of them the server has closed.
    std::size_t ClosedByServer() const
    {
        return std::count_if(m_fds.begin(), m_fds.end(), [](int fd) {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0)
                    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            }
        });
    }

private:
    std::vector<int> m_fds;
};

// "127.0.0.N", N from 2: one of the hosts of an attack.
std::string Host(int n)
{
    return "127.0.0." + std::to_string(2 + n);
}

struct CRun
{
    std::string exe;  // the server program; empty: the one built here
    bool fair = true; // it knows --limit-exempt
};

// A server on a new database in `dir`, or with `again` on the one there.
std::unique_ptr<CServerProcess> Start(const CRun& run, const std::filesystem::path& dir,
                                      std::vector<std::string> extra, bool tls = false, bool again = false)
{
    if (!again) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    std::vector<std::string> args = {"--port", "0", "--db", (dir / "bench.db").string()};
    if (!again)
        args.push_back("--fast-hash");
    if (run.fair)
        args.insert(args.end(), {"--limit-exempt", "127.0.0.1/32"});
    if (tls) {
        const CTestCertificate certificate = WriteTestCertificate(dir);
        args.insert(args.end(), {"--tls-cert", certificate.cert, "--tls-key", certificate.key});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    auto server = std::make_unique<CServerProcess>(dir, std::move(args), true, run.exe);
    if (server->Port() == 0)
        throw std::runtime_error("the server did not start:\n" + server->Log());
    return server;
}

double RssMb(const CServerProcess& server)
{
    std::ifstream status("/proc/" + std::to_string(server.Pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

// A round trip from a host of its own: the server has taken every
// connection made before.
void Probe(const CServerProcess& server, bool tls = false)
{
    CBenchClient probe(server.Port(), tls, "127.0.0.250");
    probe.Send(Cmd::Register, {}, {});
    probe.Expect(Cmd::Failure);
}

std::string Format(const char* format, double a, double b = 0, double c = 0)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// 400 silent connections from one host against --max-connections 300; then
// someone from another host registers.
std::string Crowd(const CRun& run, const std::filesystem::path& dir)
{
    const auto server = Start(run, dir, {"--max-connections", "300"});
    CSockets crowd;
    for (int i = 0; i < 400; ++i)
        crowd.Add(ConnectFrom(server->Port(), Host(0)));
    try {
        CBenchClient alice(server->Port(), false, Host(1));
        alice.Send(Cmd::Register, "alice", "pw");
        if (alice.Wait({Cmd::Registered}, 5s) == CBenchClient::CWaited::Record)
            return "another host registers";
    } catch (const std::exception&) {
    }
    return "another host cannot register";
}

// `n` connections from 40 hosts, each with 60 KB of a login record that
// never ends; RSS before, with them, and 10 s after they all closed.
std::string HalfRecords(const CRun& run, const std::filesystem::path& dir, int n)
{
    const auto server = Start(run, dir, {});
    const double before = RssMb(*server);
    CNetMessage login;
    login.command = Cmd::Register;
    login.sender = std::string(64'000, 'a');
    const std::string half = EncodeRecord(login).substr(0, 60'000);
    CSockets crowd;
    for (int i = 0; i < n; ++i) {
        crowd.Add(ConnectFrom(server->Port(), Host(i % 40)));
        // One the server closed at once fails here, and counts below.
        ::send(crowd.Fds().back(), half.data(), half.size(), MSG_NOSIGNAL);
    }
    Probe(*server);
    std::this_thread::sleep_for(1s); // the last reads settle
    const double with = RssMb(*server);
    const std::size_t closed = crowd.ClosedByServer();
    crowd.CloseAll();
    std::this_thread::sleep_for(10s);
    const double after = RssMb(*server);
    return Format("RSS %.0f -> %.0f MB, %.0f MB 10 s after", before, with, after) + " (" +
           std::to_string(closed) + " closed early)";
}

// Server sockets of `port` in CLOSE-WAIT: the peer is gone, the server has
// not closed its end.
int CloseWait(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    int count = 0;
    char local[64], remote[64], state[8];
    while (std::getline(table, line)) {
        if (std::sscanf(line.c_str(), "%*d: %63s %63s %7s", local, remote, state) != 3)
            continue;
        const std::string address = local;
        const auto colon = address.find(':');
        if (colon != std::string::npos && std::stoul(address.substr(colon + 1), nullptr, 16) == port &&
            std::string(state) == "08")
            ++count;
    }
    return count;
}

// 200 TLS clients send half a ClientHello and close.
std::string HalfHellos(const CRun& run, const std::filesystem::path& dir)
{
    const auto server = Start(run, dir, {}, true);
    const std::string hello = MakeClientHello();
    {
        CSockets quitters;
        for (int i = 0; i < 200; ++i) {
            quitters.Add(ConnectFrom(server->Port(), Host(i % 40)));
            ::send(quitters.Fds().back(), hello.data(), hello.size() / 2, MSG_NOSIGNAL);
        }
    }
    Probe(*server, true);
    std::this_thread::sleep_for(1s);
    return std::to_string(CloseWait(server->Port())) + " sockets in CLOSE-WAIT 1 s after";
}

// A user with 60 MB waiting logs in three times and never reads.
std::string Backlog(const CRun& run, const std::filesystem::path& dir)
{
    {
        const auto writing = Start(run, dir, {});
        CBenchClient writer(writing->Port());
        for (const char* name : {"heavy", "writer"}) {
            writer.Send(Cmd::Register, name, "pw");
            writer.Expect(Cmd::Registered);
        }
        writer.Send(Cmd::Login, "writer", "pw");
        writer.Expect(Cmd::LoginAccepted);
        const std::string text(60'000, 'x');
        for (int i = 0; i < 1000; ++i)
            writer.Send(Cmd::Message, "writer", "heavy", text);
        writer.Send(Cmd::BlockedList, "writer", {});
        writer.Expect(Cmd::BlockedListAnswer, 120s); // all of them are stored
        writing->Stop(SIGTERM);
    }
    // A server of its own, which has not seen them written.
    const auto server = Start(run, dir, {}, false, true);
    const double before = RssMb(*server);
    std::vector<std::unique_ptr<CBenchClient>> logins;
    for (int i = 0; i < 3; ++i) {
        logins.push_back(std::make_unique<CBenchClient>(server->Port()));
        logins.back()->Send(Cmd::Login, "heavy", "pw");
        logins.back()->Send(Cmd::FriendsList, "heavy", {});
        logins.back()->Send(Cmd::LoginComplete, "heavy", {});
        Probe(*server);
    }
    std::this_thread::sleep_for(2s); // the reads of the store are back
    return Format("RSS %.0f -> %.0f MB", before, RssMb(*server));
}

// One account writes 64 KB messages to 5 users who are offline, for 20 s
// or until refused.
std::string SenderFlood(const CRun& run, const std::filesystem::path& dir)
{
    const auto server = Start(run, dir, {});
    CBenchClient writer(server->Port());
    const std::vector<std::string> sinks = {"sink0", "sink1", "sink2", "sink3", "sink4"};
    for (const auto& name : sinks) {
        writer.Send(Cmd::Register, name, "pw");
        writer.Expect(Cmd::Registered);
    }
    writer.Send(Cmd::Register, "writer", "pw");
    writer.Expect(Cmd::Registered);
    writer.Send(Cmd::Login, "writer", "pw");
    writer.Expect(Cmd::LoginAccepted);
    const std::string text(64'000, 'x');
    const auto end = Clock::now() + 20s;
    long kept = 0;
    bool refused = false;
    for (long i = 0; Clock::now() < end && !refused; ++i) {
        CNetMessage msg;
        msg.command = Cmd::Message;
        msg.recipient = sinks[i % sinks.size()];
        msg.text = text;
        msg.names = {std::to_string(i)};
        writer.Send(msg);
        CNetMessage answer;
        if (writer.Wait({Cmd::MessageAck, Cmd::Failure}, 30s, &answer) != CBenchClient::CWaited::Record)
            throw std::runtime_error("no answer to a message");
        refused = answer.command == Cmd::Failure;
        kept += refused ? 0 : 1;
    }
    std::error_code error;
    double bytes = 0;
    for (const char* file : {"bench.db", "bench.db-wal"})
        bytes += static_cast<double>(std::filesystem::file_size(dir / file, error) * !error);
    return Format("%.0f MB kept, database %.0f MB", kept * 64'000 / 1e6, bytes / 1e6) +
           (refused ? ", then refused" : ", never refused");
}

// A TLS client whose last flight comes `late`: whether it gets through.
bool LateClient(uint16_t port, const std::string& from, std::chrono::milliseconds late)
{
    static SSL_CTX* const context = [] {
        SSL_CTX* ctx = ::SSL_CTX_new(TLS_client_method());
        ::SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        return ctx;
    }();
    const int fd = ConnectFrom(port, from);
    SSL* ssl = ::SSL_new(context);
    ::SSL_set_fd(ssl, fd);
    ::SSL_set_connect_state(ssl);
    // Without blocking, the first step only sends the hello; the rest of the
    // handshake waits until the server's answer has been there `late`.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    ::SSL_do_handshake(ssl);
    pollfd wait{fd, POLLIN, 0};
    ::poll(&wait, 1, 10'000);
    std::this_thread::sleep_for(late);
    ::fcntl(fd, F_SETFL, flags);
    // Under TLS 1.3 the client is done once its last flight is sent, cut or
    // not: a round trip says whether the server kept it.
    bool done = ::SSL_do_handshake(ssl) == 1;
    if (done) {
        CNetMessage empty;
        empty.command = Cmd::Register;
        const std::string bytes = EncodeRecord(empty);
        char answer[256];
        done = ::SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0 &&
               ::poll(&wait, 1, 10'000) > 0 && ::SSL_read(ssl, answer, sizeof answer) > 0;
    }
    ::SSL_free(ssl);
    ::close(fd);
    return done;
}

// A flood of stalled handshakes from one host, 2,400 a second, while 11
// clients from other hosts are slow to finish theirs.
std::string HandshakeFlood(const CRun& run, const std::filesystem::path& dir)
{
    const auto server = Start(run, dir, {}, true);
    const std::string hello = MakeClientHello();
    std::atomic<bool> stop{false};
    CSockets flood;
    std::thread flooder([&] {
        const auto start = Clock::now();
        for (long i = 0; !stop && flood.Size() < 12'000; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1'000'000 / 2'400));
            try {
                flood.Add(ConnectFrom(server->Port(), Host(0)));
                ::send(flood.Fds().back(), hello.data(), hello.size(), MSG_NOSIGNAL);
            } catch (const std::exception&) {
            }
        }
    });
    const auto start = Clock::now();
    std::this_thread::sleep_for(1s);
    // 11 clients 300 ms late, then 11 a second late, for a machine where
    // the server takes the flood more slowly.
    std::atomic<int> through[2] = {0, 0};
    for (const int round : {0, 1}) {
        std::vector<std::thread> late;
        for (int i = 0; i < 11; ++i)
            late.emplace_back([&, i, round] {
                const auto delay =
                    round == 0 ? std::chrono::milliseconds(300) : std::chrono::milliseconds(1000);
                through[round] += LateClient(server->Port(), Host(1 + i), delay) ? 1 : 0;
            });
        for (auto& thread : late)
            thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    flooder.join();
    // How fast the server took the flood: it logs each handshake it closes.
    const std::string log = server->Log();
    std::size_t closed = 0;
    for (auto at = log.find("TLS handshakes under way"); at != std::string::npos;
         at = log.find("TLS handshakes under way", at + 1))
        ++closed;
    return std::to_string(11 - through[0]) + " of 11 clients 300 ms late cut, " +
           std::to_string(11 - through[1]) + " of 11 a second late" +
           Format(" (the server closed %.0f stalled handshakes a second)", closed / seconds);
}

std::string DefaultCap(const CRun& run, const std::filesystem::path& dir)
{
    const auto server = Start(run, dir, {});
    const std::string log = server->Log();
    const auto at = log.find("serving at most ");
    if (at == std::string::npos)
        return "not logged";
    return log.substr(at + 16, log.find(' ', at + 16) - at - 16) + " connections";
}

} // namespace

int RunHalfRecords(int connections, const std::string& server)
{
    CTempDir dir;
    std::printf("%d connections from 40 hosts, 60 KB of a record each before login: %s\n", connections,
                HalfRecords({server, true}, dir.Path() / "run", connections).c_str());
    return 0;
}

int RunAttacks(const std::string& server, const std::string& baseline)
{
    // A late client the server has cut learns of it from its next write.
    std::signal(SIGPIPE, SIG_IGN);
    CTempDir dir;
    std::vector<CRun> runs;
    if (!baseline.empty())
        runs.push_back({baseline, false});
    runs.push_back({server, true});
    const std::vector<std::pair<const char*, std::string (*)(const CRun&, const std::filesystem::path&)>>
        rows = {
            {"one host holds 400 silent connections, --max-connections 300", Crowd},
            {"2,000 connections from 40 hosts hold 60 KB of a record before login",
             [](const CRun& run, const std::filesystem::path& dir) { return HalfRecords(run, dir, 2'000); }},
            {"200 TLS clients send half a ClientHello and close", HalfHellos},
            {"a user with 60 MB waiting logs in three times and never reads", Backlog},
            {"one account writes 64 KB messages to 5 offline users", SenderFlood},
            {"stalled TLS handshakes from one host, 2,400 a second", HandshakeFlood},
            {"default --max-connections", DefaultCap},
        };
    for (const auto& [attack, measure] : rows) {
        std::printf("%s\n", attack);
        for (const CRun& run : runs) {
            std::string figure;
            try {
                figure = measure(run, dir.Path() / "run");
            } catch (const std::exception& error) {
                figure = std::string("failed: ") + error.what();
            }
            std::printf("  %-9s %s\n", run.fair ? "now:" : "baseline:", figure.c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}
