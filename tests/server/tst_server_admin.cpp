// murmurlyctl against a real server: each command, its failures and exit
// statuses, a backup taken while messages are stored, and the metrics; the
// admin socket's own bounds, and who may take its path.

#include "serverfixture.h"

#include "adminprotocol.h"
#include "commands.h"
#include "server.h"
#include "sqlitedb.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <regex>
#include <thread>

namespace {

// A client of the admin socket that sends whatever it is told to.
class CRawAdmin
{
public:
    explicit CRawAdmin(const std::string& path)
    {
        const sockaddr_un address = Address(path);
        const timeval wait{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~CRawAdmin() { ::close(m_fd); }
    static sockaddr_un Address(const std::string& path)
    {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        return address;
    }
    void Send(const std::string& text)
    {
        EXPECT_EQ(::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    // What the server sends until it closes; a server that reads no more of
    // a request it refused may reset the connection after its answer.
    std::string Answer()
    {
        std::string answer;
        char chunk[4096];
        for (ssize_t n; (n = ::recv(m_fd, chunk, sizeof chunk, 0)) != 0;) {
            if (n < 0)
                return errno == ECONNRESET ? answer : answer + "<not closed in time>";
            answer.append(chunk, static_cast<std::size_t>(n));
        }
        return answer;
    }

private:
    int m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

class Admin : public ServerTest
{
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        if (IsSkipped())
            return;
        m_socket = (m_dir->Path() / "admin.sock").string();
        m_metricsPort = m_server->OpenAdmin(m_socket, CTestDatabase::Postgres() ? "" : m_db->Location());
    }

    CCtlResult Ctl(std::vector<std::string> args, const std::string& input = {})
    {
        args.insert(args.begin(), {"--socket", m_socket});
        return RunCtl(args, input);
    }

    // `a` asks `b`, who accepts: friends both ways, both online.
    static void MakeFriends(CTestClient& a, const std::string& aName, CTestClient& b,
                            const std::string& bName)
    {
        a.Send(Cmd::AddFriend, aName, bName, "hi");
        a.Expect(Cmd::FriendRequestSent);
        b.Expect(Cmd::FriendRequest);
        b.Send(Cmd::AcceptAndAdd, bName, aName, "ok");
        b.Expect(Cmd::NewFriendOnline);
        a.Expect(Cmd::NewFriendOnline);
        a.Expect(Cmd::IncomingMessage);
    }

    // The value of one sample of GET /metrics.
    double Metric(const std::string& sample)
    {
        const std::string text = Get("/metrics");
        const std::regex line("\n" + std::regex_replace(sample, std::regex(R"([{}"+.])"), R"(\$&)") +
                              " ([0-9.e+-]+)\n");
        std::smatch match;
        if (!std::regex_search(text, match, line)) {
            ADD_FAILURE() << "no " << sample << " in:\n" << text;
            return -1;
        }
        return std::stod(match[1].str());
    }

    // The whole answer to a GET of `path`.
    std::string Get(const std::string& path) const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_metricsPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval wait{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::string answer;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
            if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
                char chunk[4096];
                for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
                    answer.append(chunk, static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
        return answer;
    }

    std::string m_socket;
    uint16_t m_metricsPort = 0;
};

TEST_F(Admin, UsersStatsAndBadUsage)
{
    auto alice = Online("alice");
    Connect()->Register("bob", "pw");
    EXPECT_EQ(Ctl({"users"}).out, "alice\nbob\n");
    const CCtlResult online = Ctl({"users", "--online"});
    EXPECT_EQ(online.status, 0);
    EXPECT_EQ(online.out, "alice\n");
    const CCtlResult stats = Ctl({"stats"});
    EXPECT_EQ(stats.status, 0);
    for (const char* line : {"users online: 1\n", "logins succeeded: 1\n", "connections: 1\n"})
        EXPECT_NE(stats.out.find(line), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("store commit p99 ms: "), std::string::npos);
    EXPECT_NE(stats.out.find("longest loop turn in the last minute ms: "), std::string::npos);

    // Bad usage: 2, nothing sent.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{},
                                                                                      {"users", "--all"},
                                                                                      {"lock"},
                                                                                      {"passwd", ""},
                                                                                      {"delete", "a", "b"},
                                                                                      {"frobnicate"},
                                                                                      {"stats", "x"},
                                                                                      {"--socket"}}) {
        const CCtlResult bad = Ctl(args);
        EXPECT_EQ(bad.status, 2) << bad.err;
        EXPECT_NE(bad.err.find("murmurlyctl: "), std::string::npos);
    }
    EXPECT_EQ(RunCtl({"--bogus", "users"}).status, 2);
    EXPECT_EQ(RunCtl({"--socket=" + m_socket, "users", "--online"}).out, "alice\n");
    // Each command explains itself.
    const CCtlResult help = RunCtl({"backup", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: murmurlyctl backup [OPTIONS] PATH"), std::string::npos) << help.out;
    // No server: 1, in one line that says so.
    const CCtlResult none = RunCtl({"--socket", (m_dir->Path() / "none.sock").string(), "users"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err.rfind("murmurlyctl: no server on ", 0), 0u) << none.err;
    EXPECT_EQ(std::count(none.err.begin(), none.err.end(), '\n'), 1);
}

TEST_F(Admin, PasswdSetsThePasswordAndEndsTheSession)
{
    auto alice = Online("alice", "old1");
    const CCtlResult set = Ctl({"passwd", "alice"}, "new1\n");
    EXPECT_EQ(set.status, 0) << set.err;
    alice->Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(alice->WaitClosed());
    auto c = Connect();
    c->Send(Cmd::Login, "alice", "old1");
    c->Expect(Cmd::LoginFailed);
    Connect()->Login("alice", "new1");

    const CCtlResult nobody = Ctl({"passwd", "nobody"}, "new1\n");
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.err, "murmurlyctl: no such user\n");
    for (const char* bad : {"two words\n", "\n", "fifteenletters1\n"}) {
        const CCtlResult rule = Ctl({"passwd", "alice"}, bad);
        EXPECT_EQ(rule.status, 1);
        EXPECT_NE(rule.err.find("against the rule"), std::string::npos) << rule.err;
    }
    EXPECT_EQ(Ctl({"passwd", "alice"}).status, 1); // nothing on standard input
    Connect()->Login("alice", "new1");
}

TEST_F(Admin, ALockedAccountCannotLogInUntilUnlocked)
{
    auto alice = Online("alice");
    EXPECT_EQ(Ctl({"lock", "alice"}).status, 0);
    alice->Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(alice->WaitClosed());
    auto c = Connect();
    c->Send(Cmd::Login, "alice", "pw");
    EXPECT_EQ(c->Expect(Cmd::LoginFailed).sender, "Invalid user name or password");
    // It stays locked across a restart: the store keeps it.
    Restart();
    m_server->OpenAdmin(m_socket, CTestDatabase::Postgres() ? "" : m_db->Location());
    c = Connect();
    c->Send(Cmd::Login, "alice", "pw");
    c->Expect(Cmd::LoginFailed);
    EXPECT_EQ(Ctl({"unlock", "alice"}).status, 0);
    Connect()->Login("alice", "pw");
    // A login whose password is being checked when the lock comes fails.
    CPasswordHasher& hasher = m_server->Server().Hasher();
    hasher.LimitStarts(0);
    c = Connect();
    c->Send(Cmd::Login, "alice", "pw");
    ASSERT_TRUE(Eventually([&] { return hasher.Waiting() == 1; }));
    EXPECT_EQ(Ctl({"lock", "alice"}).status, 0);
    hasher.LimitStarts(std::nullopt);
    c->Expect(Cmd::LoginFailed);
    for (const char* command : {"lock", "unlock"})
        EXPECT_EQ(Ctl({command, "nobody"}).err, "murmurlyctl: no such user\n");
}

TEST_F(Admin, DeleteRemovesTheAccountAndEverythingOfIt)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    auto carol = Online("carol");
    MakeFriends(*bob, "bob", *alice, "alice");
    // Waiting for alice once she is back: a message and a friend request;
    // and a block of hers.
    alice->Send(Cmd::BlockPermanently, "alice", "carol");
    alice->Send(Cmd::Logoff, "alice");
    EXPECT_TRUE(alice->WaitClosed());
    EXPECT_EQ(bob->Expect(Cmd::FriendOffline).sender, "alice");
    bob->Send(MakeFontMessage("alice", "waiting"));
    carol->Send(Cmd::AddFriend, "carol", "alice", "me too");
    carol->Expect(Cmd::FriendRequestSent);
    alice = Connect();
    alice->Login("alice", "pw", false);
    EXPECT_EQ(bob->Expect(Cmd::FriendOnline).sender, "alice");

    EXPECT_EQ(Ctl({"delete", "alice"}).status, 0);
    EXPECT_EQ(bob->Expect(Cmd::FriendOffline).sender, "alice");
    alice->Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(alice->WaitClosed());
    EXPECT_EQ(Ctl({"users"}).out, "bob\ncarol\n");
    EXPECT_EQ(Ctl({"delete", "alice"}).err, "murmurlyctl: no such user\n");

    // The name is free, and nothing of the old account comes with it.
    alice = Connect();
    alice->Register("alice", "pw");
    EXPECT_TRUE(alice->Login("alice", "pw").names.empty());
    EXPECT_TRUE(alice->ExpectNoRecord());
    EXPECT_TRUE(Connect()->Login("bob", "pw").names.empty());
    carol->Send(MakeFontMessage("alice", "not blocked"));
    EXPECT_EQ(alice->Expect(Cmd::IncomingMessage).text, "not blocked");
}

TEST_F(Admin, ABackupTakenWhileMessagesAreStoredOpensWhole)
{
    if (CTestDatabase::Postgres()) {
        const CCtlResult refused = Ctl({"backup", (m_dir->Path() / "copy.db").string()});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("pg_dump"), std::string::npos) << refused.err;
        return;
    }
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    // Messages for bob, offline: some committed before, and more coming
    // while the copy is made.
    int sent = 0;
    while (sent < 100)
        alice->Send(MakeFontMessage("bob", std::to_string(sent++)));
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
    std::atomic<bool> copied{false};
    std::thread writer([&] {
        // Below the quota of offline messages, which would refuse the rest.
        while (!copied && sent < 5000)
            alice->Send(MakeFontMessage("bob", std::to_string(sent++)));
        alice->Send(Cmd::BlockedList, "alice");
        alice->Expect(Cmd::BlockedListAnswer, std::chrono::seconds(30));
    });
    const std::string copy = (m_dir->Path() / "copy.db").string();
    const CCtlResult backup = Ctl({"backup", copy});
    copied = true;
    writer.join();
    ASSERT_EQ(backup.status, 0) << backup.err;

    // The copy is a database of its own, whole, with a prefix of the
    // messages in their order.
    {
        CSqliteDb db(copy);
        EXPECT_EQ(db.QueryInt("SELECT count(*) FROM pragma_integrity_check WHERE integrity_check = 'ok'"), 1);
        EXPECT_GE(db.QueryInt("SELECT count(*) FROM offline_message"), 100);
    }
    m_server.reset();
    m_server = std::make_unique<CInProcessServer>(copy);
    auto bob = Connect();
    bob->Login("bob", "pw");
    // At least the 100 committed before, so "OL" follows them.
    int expected = 0;
    for (;;) {
        const std::optional<CNetMessage> record = bob->Receive();
        ASSERT_TRUE(record);
        if (record->command == Cmd::OfflineEnd)
            break;
        ASSERT_EQ(record->command, Cmd::OfflineMessage);
        EXPECT_EQ(record->text, std::to_string(expected++));
    }
    EXPECT_GE(expected, 100);
    EXPECT_LE(expected, sent);
}

TEST_F(Admin, AStaleSocketIsReplacedAndALiveOneIsNotTaken)
{
    asio::io_context io;
    CAdminSocket second(io, m_server->Server(), "");
    try {
        second.Listen(m_socket);
        ADD_FAILURE() << "a second server took the socket";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), "another server answers on " + m_socket);
    }
    EXPECT_EQ(Ctl({"users"}).status, 0);

    // What a server that died leaves behind: a socket nobody listens on.
    m_socket = (m_dir->Path() / "stale.sock").string();
    const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = CRawAdmin::Address(m_socket);
    ASSERT_EQ(::bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(dead);
    m_server->OpenAdmin(m_socket, "");
    EXPECT_EQ(Ctl({"users"}).status, 0);
}

TEST_F(Admin, RequestsAreBoundedInSizeTimeAndNumber)
{
    Connect()->Register("alice", "old1");
    m_socket = (m_dir->Path() / "bounded.sock").string();
    m_server->OpenAdmin(m_socket, "", std::chrono::milliseconds(500));
    const std::string greeting = std::string(kAdminGreeting) + "\n";

    CRawAdmin big(m_socket);
    big.Send(greeting + std::string(CAdminSocket::kMaxRequest, 'x'));
    EXPECT_EQ(big.Answer(), greeting + "error request too long\n");

    // One that never finishes is closed unanswered; others are served
    // meanwhile, up to a few at once.
    std::vector<std::unique_ptr<CRawAdmin>> slow;
    slow.push_back(std::make_unique<CRawAdmin>(m_socket));
    slow.back()->Send(greeting + "users\n");
    CRawAdmin quick(m_socket);
    quick.Send(greeting + "users\n\n");
    EXPECT_EQ(quick.Answer(), greeting + "ok\nalice\n");
    while (slow.size() < CAdminSocket::kMaxConnections)
        slow.push_back(std::make_unique<CRawAdmin>(m_socket));
    EXPECT_EQ(Ctl({"users"}).status, 1);
    for (const auto& client : slow)
        EXPECT_EQ(client->Answer(), "");
    EXPECT_EQ(Ctl({"users"}).out, "alice\n");

    // A request that came whole in time may take longer to answer.
    CPasswordHasher& hasher = m_server->Server().Hasher();
    hasher.LimitStarts(0);
    auto set = std::async(std::launch::async, [this] { return Ctl({"passwd", "alice"}, "new1\n"); });
    ASSERT_TRUE(Eventually([&] { return hasher.Waiting() == 1; }));
    // Its time-out is over once that of a later connection is.
    EXPECT_EQ(CRawAdmin(m_socket).Answer(), "");
    hasher.LimitStarts(std::nullopt);
    const CCtlResult done = set.get();
    EXPECT_EQ(done.status, 0) << done.err;
    Connect()->Login("alice", "new1");
}

TEST_F(Admin, MetricsMoveWithTraffic)
{
    const double logins = Metric("murmurly_logins_total{result=\"succeeded\"}");
    const double delivered = Metric("murmurly_messages_delivered_total");
    auto alice = Online("alice");
    auto bob = Online("bob");
    alice->Send(MakeFontMessage("bob", "hi"));
    bob->Expect(Cmd::IncomingMessage);
    EXPECT_EQ(Metric("murmurly_logins_total{result=\"succeeded\"}"), logins + 2);
    EXPECT_EQ(Metric("murmurly_messages_delivered_total"), delivered + 1);
    EXPECT_EQ(Metric("murmurly_users_online"), 2);
    bob->Send(Cmd::Logoff, "bob");
    EXPECT_TRUE(bob->WaitClosed());
    alice->Send(MakeFontMessage("bob", "stored"));
    alice->Send(Cmd::BlockedList, "alice"); // a round trip: it is committed
    alice->Expect(Cmd::BlockedListAnswer);
    EXPECT_EQ(Metric("murmurly_messages_stored_total"), 1);
    EXPECT_GE(Metric("murmurly_store_commit_seconds_count"), 1);
    EXPECT_EQ(Metric("murmurly_users_online"), 1);
    EXPECT_NE(Get("/metrics").find("murmurly_loop_lag_seconds "), std::string::npos);
    EXPECT_EQ(Get("/other").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_EQ(Get(std::string(9000, 'x')).find("200 OK"), std::string::npos);
}

} // namespace
