// The murmurly-server executable itself: command line, default database
// location, SIGTERM and a restart of the process, what it tells systemd and
// how it logs a slow turn of its loop.

#include "serverfixture.h"

#include "commands.h"
#include "loopturn.h"
#include "server.h"
#include "store/openstore.h"
#include "wire.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <set>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class Process : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const std::string why = CTestDatabase::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        m_db = std::make_unique<CTestDatabase>(m_dir.Path(), "server.db");
    }
    std::string Db() const { return m_db->Location(); }

    CTempDir m_dir;
    std::unique_ptr<CTestDatabase> m_db;
};

// Stands in for systemd's notification socket.
struct CNotifySocket
{
    explicit CNotifySocket(const std::filesystem::path& path)
    {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~CNotifySocket() { ::close(m_fd); }
    // The next datagram, or "" when none comes within `timeout`.
    std::string Receive(std::chrono::milliseconds timeout) const
    {
        pollfd ready{m_fd, POLLIN, 0};
        char data[64];
        const ssize_t n =
            ::poll(&ready, 1, static_cast<int>(timeout.count())) == 1 ? ::recv(m_fd, data, 64, 0) : 0;
        return std::string(data, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    const int m_fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
};

// Time that passes only when a test says so.
struct CTestClock
{
    using time_point = std::chrono::steady_clock::time_point;
    static time_point now() { return s_now; }
    static inline time_point s_now{};
};

TEST(LoopTurn, OnlyASlowTurnIsLoggedOnceOnOneLine)
{
    int described = 0;
    const auto what = [&described] {
        ++described;
        return std::string("record \"M\"\nforged line");
    };
    using CTestTurn = CLoopTurn<decltype(what), CTestClock>;
    ::testing::internal::CaptureStderr();
    {
        const CTestTurn turn(what);
        CTestClock::s_now += kSlowLoopTurn;
    }
    {
        // A handler run from inside another counts as part of its turn.
        const CTestTurn outer(what);
        {
            const CTestTurn inner(what);
            CTestClock::s_now += 150ms;
        }
        CTestClock::s_now += 90ms;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "murmurly-server: slow loop turn of 240 ms: record \"M\"?forged line\n");
    EXPECT_EQ(described, 1);
}

TEST_F(Process, TellsSystemdItIsReadyAndAlive)
{
    const auto path = m_dir.Path() / "notify";
    CNotifySocket systemd(path);
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "200000", 1);
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_NE(p.Port(), 0);
    EXPECT_EQ(systemd.Receive(10s), "READY=1");
    CTestClient(p.Port()).Register("alice", "pw");
    // Pings, from the loop's timer, while the loop turns.
    EXPECT_EQ(systemd.Receive(10s), "WATCHDOG=1");
    EXPECT_EQ(systemd.Receive(10s), "WATCHDOG=1");
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    // All it sent is queued by now; pings may come until it ends.
    std::string last;
    for (std::string state; !(state = systemd.Receive(0ms)).empty();)
        if (state != "WATCHDOG=1")
            last = state;
    EXPECT_EQ(last, "STOPPING=1");
    EXPECT_NE(p.Log().find("service manager watchdog: a ping every 100 ms"), std::string::npos) << p.Log();
}

TEST_F(Process, HelpPrintsUsage)
{
    CServerProcess p(m_dir.Path(), {"--help"}, false);
    EXPECT_EQ(p.Wait(5s), 0);
    const std::string usage = p.Log();
    EXPECT_NE(usage.find("--login-timeout SECONDS"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--max-connections N"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--max-handshakes N"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--tls-cert FILE"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--tls-key FILE"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--allow-plaintext"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--no-registration"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--trusted-proxy ADDR[/BITS]"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--fast-hash"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--cluster nats://HOST:PORT"), std::string::npos) << usage;
    EXPECT_NE(usage.find("\nLimits:\n"), std::string::npos) << usage;
}

TEST_F(Process, FastHashRefusesAnExistingDatabase)
{
    {
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()});
        ASSERT_NE(p.Port(), 0);
        EXPECT_EQ(p.Stop(SIGTERM), 0);
    }
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"}, false);
    EXPECT_EQ(p.Wait(5s), 2);
    EXPECT_NE(p.Log().find("already exists"), std::string::npos) << p.Log();
}

TEST_F(Process, BadArgumentsExitWithStatusTwo)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},
        {"--port", "x"},
        {"--port"},
        {"--bogus"},
        {"--db", ""},
        {"--address", "not an address", "--port", "0", "--db", Db()},
        {"--login-timeout", "0"},
        {"--max-connections", "x"},
        {"--max-handshakes", "0"},
        {"--limit-exempt", "10.0.0.0/33"},
        {"--limit-exempt", "localhost"},
        {"--trusted-proxy", "10.0.0.0/33"},
        {"--limit-exempt=10.0.0.0/8", "--trusted-proxy", "proxy"},
        {"--port=70000"},
        {"--fast-hash=maybe"},
        {"--db", "x", "stray"},
        {"--sender-quota", "0"},
        {"--prelogin-memory", "x"},
        {"--write-timeout", "0"},
        {"--record-timeout", "-1"},
        {"--cluster", "127.0.0.1:4222"},
        // Nothing listens on port 1: the node cannot join.
        {"--cluster", "nats://127.0.0.1:1", "--port", "0", "--db", Db()},
    };
    for (const auto& args : cases) {
        CServerProcess p(m_dir.Path(), args, false);
        EXPECT_EQ(p.Wait(5s), 2) << args[0];
        const std::string log = p.Log();
        EXPECT_NE(log.find("murmurly-server: "), std::string::npos) << log;
    }
}

TEST_F(Process, AClusterAddressThatIsNotNatsFailsTheJoinInWords)
{
    // A peer that answers, but not as a NATS server does: it greets first
    // with INFO, then takes a CONNECT.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string url = "nats://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    CServerProcess p(m_dir.Path(), {"--cluster", url, "--port", "0", "--db", Db()}, false);
    pollfd ready{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    const int peer = ::accept(listener, nullptr, nullptr);
    const char greeting[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
    ASSERT_GT(::send(peer, greeting, sizeof greeting - 1, MSG_NOSIGNAL), 0);
    EXPECT_EQ(p.Wait(5s), 2);
    EXPECT_NE(p.Log().find("cannot join the cluster at " + url + ": not a NATS server"), std::string::npos)
        << p.Log();
    ::close(peer);
    ::close(listener);
}

TEST_F(Process, UnusableDatabaseExitsWithStatusTwo)
{
    {
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", (m_dir.Path() / "no/such/dir/x.db").string()},
                         false);
        EXPECT_EQ(p.Wait(5s), 2);
    }
    {
        // A file that is not a database.
        const auto junk = m_dir.Path() / "junk.db";
        FILE* f = std::fopen(junk.c_str(), "wb");
        std::fputs("this is certainly not an SQLite database, just some text to fill the header", f);
        std::fclose(f);
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", junk.string()}, false);
        EXPECT_EQ(p.Wait(5s), 2);
        EXPECT_NE(p.Log().find("database"), std::string::npos);
    }
    if (CTestDatabase::Postgres()) {
        // A database the PostgreSQL server does not have: its reason, on one line.
        std::string missing = Db();
        missing.replace(missing.find("///murmurly?"), 12, "///no_such_db?");
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", missing}, false);
        EXPECT_EQ(p.Wait(5s), 2);
        const std::string log = p.Log();
        const std::string refusal = log.substr(log.find("murmurly-server: unusable database: "));
        EXPECT_NE(refusal.find("no_such_db"), std::string::npos) << log;
        EXPECT_EQ(refusal.find('\n'), refusal.size() - 1) << log;
    }
}

TEST_F(Process, NewerSchemaIsRefusedInOneLine)
{
    OpenStore(Db()).reset();
    m_db->Exec(CTestDatabase::Postgres() ? "UPDATE schema_version SET version = 99"
                                         : "PRAGMA user_version = 99");
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()}, false);
    EXPECT_EQ(p.Wait(5s), 2);
    const std::string log = p.Log();
    const std::string refusal = log.substr(log.find("murmurly-server: unusable database: "));
    EXPECT_NE(refusal.find("schema version 99 is newer"), std::string::npos) << log;
    EXPECT_EQ(refusal.find('\n'), refusal.size() - 1) << log;
}

TEST_F(Process, DefaultDatabaseGoesToTheDataFolder)
{
    const auto xdg = m_dir.Path() / "xdg";
    ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    CServerProcess p(m_dir.Path(), {"--port", "0", "--fast-hash"});
    ::unsetenv("XDG_DATA_HOME");
    ASSERT_NE(p.Port(), 0);
    CTestClient(p.Port()).Register("alice", "pw");
    EXPECT_TRUE(std::filesystem::exists(xdg / "murmurly" / "murmurly.db"));
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

TEST_F(Process, SigtermSendsZToEveryClient)
{
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
    ASSERT_NE(p.Port(), 0);
    CTestClient anonymous(p.Port());
    CTestClient alice(p.Port());
    alice.Register("alice", "pw");
    alice.Send(Cmd::Login, "alice", "wrong");
    alice.Expect(Cmd::LoginFailed);
    alice.Login("alice", "pw");
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    EXPECT_EQ(alice.Expect(Cmd::ServerShutdown).command, "Z");
    EXPECT_TRUE(alice.WaitClosed());
    EXPECT_EQ(anonymous.Expect(Cmd::ServerShutdown).command, "Z");
    const std::string log = p.Log();
    EXPECT_NE(log.find("login alice from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("login failed for alice from 127.0.0.1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("pw\n"), std::string::npos) << log;
}

TEST_F(Process, SigintStopsCleanlyToo)
{
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
    ASSERT_NE(p.Port(), 0);
    CTestClient c(p.Port());
    c.Register("alice", "pw");
    EXPECT_EQ(p.Stop(SIGINT), 0);
    c.Expect(Cmd::ServerShutdown);
}

TEST_F(Process, StoredDataSurvivesARestartOfTheProcess)
{
    {
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
        CTestClient bob(p.Port());
        bob.Register("bob", "pw");
        CTestClient alice(p.Port());
        alice.Register("alice", "pw");
        alice.Login("alice", "pw");
        // One burst, stored in one group; the answer after it comes only
        // once the group is committed.
        std::string burst;
        for (int i = 0; i < 50; ++i)
            EncodeRecord(MakeFontMessage("bob", "across restarts " + std::to_string(i)), burst);
        EncodeRecord(MakeRecord(Cmd::BlockedList, "alice"), burst);
        ASSERT_TRUE(alice.SendRaw(burst));
        alice.Expect(Cmd::BlockedListAnswer);
        // No clean stop: a crash must not lose what was answered.
        EXPECT_EQ(p.Stop(SIGKILL), -1);
    }
    // Without --fast-hash: it refuses a database that exists.
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()});
    CTestClient bob(p.Port());
    bob.Login("bob", "pw");
    for (int i = 0; i < 50; ++i) {
        const CNetMessage o = bob.Expect(Cmd::OfflineMessage);
        EXPECT_EQ(o.sender, "alice");
        EXPECT_EQ(o.text, "across restarts " + std::to_string(i));
        ExpectSameFont(MakeFontMessage("bob", ""), o);
    }
    bob.Expect(Cmd::OfflineEnd);
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

TEST_F(Process, EveryMessageAnsweredOrResentSurvivesACrash)
{
    constexpr int kCount = 500;
    std::set<std::string> unanswered;
    {
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
        CTestClient(p.Port()).Register("bob", "pw");
        CTestClient alice(p.Port());
        alice.Register("alice", "pw");
        alice.Login("alice", "pw");
        for (int i = 0; i < kCount; ++i) {
            const std::string id = "id-" + std::to_string(i);
            unanswered.insert(id);
            alice.Send(MakeFontMessage("bob", id, id));
        }
        while (unanswered.size() > kCount / 2) {
            const CNetMessage ma = alice.Expect(Cmd::MessageAck);
            ASSERT_EQ(ma.names.size(), 1u);
            EXPECT_EQ(unanswered.erase(ma.names[0]), 1u) << ma.names[0];
        }
        EXPECT_EQ(p.Stop(SIGKILL), -1);
    }
    // The sender's client sends again whatever had no receipt, as it was.
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()});
    CTestClient alice(p.Port());
    alice.Login("alice", "pw");
    for (const auto& id : unanswered)
        alice.Send(MakeFontMessage("bob", id, id));
    for (std::size_t i = 0; i < unanswered.size(); ++i)
        alice.Expect(Cmd::MessageAck);
    CTestClient bob(p.Port());
    bob.Login("bob", "pw");
    std::multiset<std::string> kept;
    for (int i = 0; i < kCount; ++i)
        kept.insert(bob.Expect(Cmd::OfflineMessage).names.back());
    bob.Expect(Cmd::OfflineEnd);
    EXPECT_EQ(kept.size(), std::set<std::string>(kept.begin(), kept.end()).size()); // none twice
    EXPECT_EQ(kept.count("id-0") + kept.count("id-" + std::to_string(kCount - 1)), 2u);
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

TEST_F(Process, LoginTimeoutAndConnectionLimitApply)
{
    CServerProcess p(m_dir.Path(),
                     {"--port", "0", "--db", Db(), "--login-timeout", "1", "--max-connections", "1"});
    ASSERT_NE(p.Port(), 0);
    CTestClient first(p.Port());
    CTestClient second(p.Port());
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_TRUE(first.WaitClosed(10s));
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    const std::string log = p.Log();
    EXPECT_NE(log.find("connection limit of 1 reached"), std::string::npos) << log;
    EXPECT_NE(log.find("no login from"), std::string::npos) << log;
}

// With only 127.0.0.1 exempt, 127.0.0.2 counts as any remote address would:
// five wrong passwords from there lock the name there, not elsewhere.
TEST_F(Process, LimitExemptNarrowsTheExemption)
{
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash", "--limit-exempt=127.0.0.1/32",
                                    "--limit-exempt", "::1"});
    ASSERT_NE(p.Port(), 0);
    CTestClient(p.Port(), false, "127.0.0.3").Register("alice", "pw");
    CTestClient guesser(p.Port(), false, "127.0.0.2");
    for (int i = 0; i < 5; ++i) {
        guesser.Send(Cmd::Login, "alice", "wrong");
        guesser.Expect(Cmd::LoginFailed);
    }
    guesser.Send(Cmd::Login, "alice", "pw");
    guesser.Expect(Cmd::LoginFailed);
    CTestClient(p.Port(), false, "127.0.0.3").Login("alice", "pw");
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

TEST_F(Process, TlsServesLoginsMessagesAndShutdown)
{
    const CTestCertificate tls = WriteTestCertificate(m_dir.Path());
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash", "--tls-cert", tls.cert,
                                    "--tls-key", tls.key});
    ASSERT_NE(p.Port(), 0);
    CTestClient alice(p.Port(), true);
    CTestClient bob(p.Port(), true);
    ASSERT_TRUE(alice.IsConnected());
    ASSERT_TRUE(bob.IsConnected());
    alice.Register("alice", "pw");
    bob.Register("bob", "pw");
    alice.Login("alice", "pw");
    bob.Login("bob", "pw");
    const CNetMessage sent = MakeFontMessage("bob", "over TLS");
    alice.Send(sent);
    const CNetMessage sm = bob.Expect(Cmd::IncomingMessage);
    EXPECT_EQ(sm.sender, "alice");
    EXPECT_EQ(sm.text, "over TLS");
    ExpectSameFont(sent, sm);

    // Clear text to the TLS port: the handshake fails and the login in it is
    // never served, so alice's session goes on undisturbed. The client gets
    // TLS's alert, by which it can tell what went wrong.
    CTestClient plain(p.Port());
    plain.Send(Cmd::Login, "alice", "pw");
    EXPECT_TRUE(plain.WaitBytes());
    EXPECT_TRUE(plain.WaitClosed());
    EXPECT_FALSE(plain.Receive(0ms));
    alice.Send(Cmd::BlockedList, "alice");
    alice.Expect(Cmd::BlockedListAnswer);

    EXPECT_EQ(p.Stop(SIGTERM), 0);
    alice.Expect(Cmd::ServerShutdown);
    bob.Expect(Cmd::ServerShutdown);
    const std::string log = p.Log();
    EXPECT_NE(log.find("TLS handshake with 127.0.0.1:"), std::string::npos) << log;
    EXPECT_EQ(log.find("login alice from 127.0.0.1:" + std::to_string(p.Port())), std::string::npos) << log;
}

// Behind a trusted proxy the header comes before the TLS hello, and the log
// names the client it names; a hello without one goes unanswered.
TEST_F(Process, TlsBehindATrustedProxy)
{
    const CTestCertificate tls = WriteTestCertificate(m_dir.Path());
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash", "--trusted-proxy",
                                    "127.0.0.1", "--tls-cert", tls.cert, "--tls-key", tls.key});
    ASSERT_NE(p.Port(), 0);
    CTestClient alice(p.Port(), true, "127.0.0.1", ProxyHeaderV2("192.0.2.7", 4321));
    ASSERT_TRUE(alice.IsConnected());
    alice.Register("alice", "pw");
    alice.Login("alice", "pw");
    CTestClient bare(p.Port(), true, "127.0.0.1");
    EXPECT_FALSE(bare.IsConnected());
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    const std::string log = p.Log();
    EXPECT_NE(log.find("login alice from 192.0.2.7:4321"), std::string::npos) << log;
    EXPECT_NE(log.find("invalid PROXY header from trusted proxy 127.0.0.1:"), std::string::npos) << log;
}

TEST_F(Process, TlsKeepsTheLimits)
{
    const CTestCertificate tls = WriteTestCertificate(m_dir.Path());
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash", "--login-timeout", "2",
                                    "--tls-cert", tls.cert, "--tls-key", tls.key});
    ASSERT_NE(p.Port(), 0);
    CTestClient silent(p.Port()); // never starts the handshake
    CTestClient alice(p.Port(), true);
    CTestClient carol(p.Port(), true);
    CTestClient sleeper(p.Port(), true);
    alice.Register("alice", "pw");
    alice.Login("alice", "pw");
    carol.Register("carol", "pw");
    carol.Login("carol", "pw");
    sleeper.Register("bob", "pw");
    sleeper.Login("bob", "pw"); // never reads from here on
    const std::string text(60 * 1024, 'x');
    for (int i = 0; i < 500 && alice.IsConnected(); ++i)
        alice.Send(MakeFontMessage("bob", text));
    alice.Send(MakeFontMessage("carol", "not stalled"));
    EXPECT_EQ(carol.Expect(Cmd::IncomingMessage, 10s).text, "not stalled");
    EXPECT_TRUE(sleeper.WaitClosed(10s));
    EXPECT_TRUE(silent.WaitClosed(10s));
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    const std::string log = p.Log();
    EXPECT_NE(log.find("does not read; send queue over 1 MiB"), std::string::npos) << log;
    EXPECT_NE(log.find("no login from"), std::string::npos) << log;
}

TEST_F(Process, TlsHandshakesUnderWayAreBounded)
{
    const CTestCertificate tls = WriteTestCertificate(m_dir.Path());
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash", "--max-handshakes", "1",
                                    "--tls-cert", tls.cert, "--tls-key", tls.key});
    ASSERT_NE(p.Port(), 0);
    const std::string hello = MakeClientHello();
    CTestClient silent(p.Port());
    // Half a hello begins no handshake, so it takes no place among them.
    CTestClient partial(p.Port());
    ASSERT_TRUE(partial.SendRaw(hello.substr(0, hello.size() / 2)));
    CTestClient stalled(p.Port());
    ASSERT_TRUE(stalled.SendRaw(hello));
    ASSERT_TRUE(stalled.WaitBytes()); // answered: its handshake is under way
    // One more closes the handshake that has waited longest, and goes through.
    CTestClient alice(p.Port(), true);
    ASSERT_TRUE(alice.IsConnected());
    EXPECT_TRUE(stalled.WaitClosed());
    alice.Register("alice", "pw");
    ASSERT_TRUE(partial.SendRaw(hello.substr(hello.size() / 2)));
    EXPECT_TRUE(partial.WaitBytes());
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    // Shutdown tells a client before its handshake nothing, least of all
    // in clear text.
    EXPECT_FALSE(silent.WaitBytes());
    const std::string log = p.Log();
    EXPECT_NE(log.find("over the limit of 1; closing the oldest"), std::string::npos) << log;
}

// A flood of stalled handshakes from one address takes its own share: the
// oldest of the address with the most goes, never the late client of
// another; a client that gives up in the middle of its hello goes at once.
TEST_F(Process, TlsHandshakesAreSharedByAddress)
{
    const CTestCertificate tls = WriteTestCertificate(m_dir.Path());
    CServerProcess p(m_dir.Path(),
                     {"--port", "0", "--db", Db(), "--fast-hash", "--max-handshakes", "20", "--limit-exempt",
                      "127.0.0.1/32", "--tls-cert", tls.cert, "--tls-key", tls.key});
    ASSERT_NE(p.Port(), 0);
    const std::string hello = MakeClientHello();
    auto stall = [&](const std::string& from) {
        auto client = std::make_unique<CTestClient>(p.Port(), false, from);
        EXPECT_TRUE(client->SendRaw(hello));
        EXPECT_TRUE(client->WaitBytes()); // answered: its handshake is under way
        return client;
    };
    auto late = stall("127.0.0.3");
    std::vector<std::unique_ptr<CTestClient>> flood;
    for (int i = 0; i < 17; ++i)
        flood.push_back(stall("127.0.0.2"));
    EXPECT_TRUE(flood[0]->WaitClosed()); // past the 16 of one address
    for (int i = 0; i < 4; ++i)
        flood.push_back(stall("127.0.0.4"));
    EXPECT_TRUE(flood[1]->WaitClosed()); // past the 20 in all
    // Half a hello, then the end of the stream.
    CTestClient quitter(p.Port(), false, "127.0.0.5");
    ASSERT_TRUE(quitter.SendRaw(hello.substr(0, hello.size() / 2)));
    quitter.ShutdownSend();
    EXPECT_TRUE(quitter.WaitClosed());
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    const std::string log = p.Log();
    EXPECT_NE(log.find("from 127.0.0.2 over the limit of 16"), std::string::npos) << log;
    EXPECT_EQ(log.find("closing the oldest of the address with the most, with 127.0.0.3"), std::string::npos)
        << log;
}

TEST_F(Process, TlsToAClearPortFailsCleanly)
{
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash", "--login-timeout", "1"});
    ASSERT_NE(p.Port(), 0);
    CTestClient alice(p.Port());
    alice.Register("alice", "pw");
    alice.Login("alice", "pw");
    CTestClient tls(p.Port(), true);
    EXPECT_FALSE(tls.IsConnected());
    alice.Send(Cmd::BlockedList, "alice");
    alice.Expect(Cmd::BlockedListAnswer);
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

TEST_F(Process, UnusableCertificateOrKeyExitsWithStatusTwo)
{
    const CTestCertificate good = WriteTestCertificate(m_dir.Path());
    const CTestCertificate mismatched = WriteTestCertificate(m_dir.Path(), true);
    const std::string junk = (m_dir.Path() / "junk.pem").string();
    FILE* f = std::fopen(junk.c_str(), "w");
    std::fputs("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n", f);
    std::fclose(f);
    const std::string missing = (m_dir.Path() / "missing.pem").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--tls-cert", good.cert}, "--tls-cert and --tls-key go together"},
        {{"--tls-cert", missing, "--tls-key", good.key}, "cannot read the certificate " + missing},
        {{"--tls-cert", good.cert, "--tls-key", missing}, "cannot read the key " + missing},
        {{"--tls-cert", junk, "--tls-key", good.key}, "unusable certificate " + junk},
        {{"--tls-cert", good.cert, "--tls-key", junk}, "unusable key " + junk},
        {{"--tls-cert", mismatched.cert, "--tls-key", mismatched.key}, "does not match"},
    };
    for (const auto& [tlsArgs, reason] : cases) {
        std::vector<std::string> args = {"--port", "0", "--db", Db()};
        args.insert(args.end(), tlsArgs.begin(), tlsArgs.end());
        CServerProcess p(m_dir.Path(), args, false);
        EXPECT_EQ(p.Wait(5s), 2) << reason;
        const std::string log = p.Log();
        EXPECT_NE(log.find(reason), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
}

TEST_F(Process, ClearTextStaysOnLoopbackUnlessAllowed)
{
    {
        CServerProcess p(m_dir.Path(), {"--address", "0.0.0.0", "--port", "0", "--db", Db()}, false);
        EXPECT_EQ(p.Wait(5s), 2);
        const std::string log = p.Log();
        EXPECT_NE(log.find("--tls-cert"), std::string::npos) << log;
        EXPECT_NE(log.find("--allow-plaintext"), std::string::npos) << log;
        EXPECT_EQ(log.find("listening"), std::string::npos) << log;
    }
    {
        // An address of the documentation range, on no machine: the override
        // passes the check and warns, and then binding fails.
        CServerProcess p(m_dir.Path(),
                         {"--address", "192.0.2.1", "--port", "0", "--db", Db(), "--allow-plaintext"}, false);
        EXPECT_EQ(p.Wait(5s), 2);
        const std::string log = p.Log();
        EXPECT_NE(log.find("warning: --allow-plaintext"), std::string::npos) << log;
        EXPECT_NE(log.find("cannot listen on 192.0.2.1"), std::string::npos) << log;
    }
}

TEST_F(Process, ListenLineShowsTheRealPort)
{
    // Outside systemd a watchdog setting alone starts no pings.
    ::setenv("WATCHDOG_USEC", "200000", 1);
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()});
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_NE(p.Port(), 0);
    EXPECT_NE(p.Log().find("listening on 127.0.0.1:" + std::to_string(p.Port())), std::string::npos);
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    EXPECT_EQ(p.Log().find("watchdog"), std::string::npos) << p.Log();
}

} // namespace
