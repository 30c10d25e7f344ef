// Two server processes on one database, joined through a NATS server of the
// test's own: users on different nodes work together as on one.

#include "serverfixture.h"

#include "commands.h"
#include "linkrelay.h"
#include "server.h"

#include <algorithm>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

CNetMessage LoginRecord(const std::string& name)
{
    CNetMessage login;
    login.command = Cmd::Login;
    login.sender = name;
    login.recipient = "pw";
    login.names = {name, "pw", "L"};
    return login;
}

class Cluster : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const std::string why = CTestDatabase::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        if (CNatsServer::Executable().empty())
            GTEST_SKIP() << "nats-server is not installed (scripts/install-deps.sh --test installs it)";
        m_nats = std::make_unique<CNatsServer>(m_dir.Path());
        ASSERT_FALSE(m_nats->Url().empty());
        // The first node makes the database with the test's cheap hashing;
        // the second one only checks passwords, which reads the cost from
        // each hash.
        m_node1 = Node({"--fast-hash", "--admin-socket", Socket(1)});
        m_node2 = Node({"--admin-socket", Socket(2)});
        ASSERT_NE(m_node1->Port(), 0);
        ASSERT_NE(m_node2->Port(), 0);
    }

    std::unique_ptr<CServerProcess> Node(std::vector<std::string> args, const std::string& url = {})
    {
        args.insert(args.end(),
                    {"--port", "0", "--db", m_db, "--cluster", url.empty() ? m_nats->Url() : url});
        return std::make_unique<CServerProcess>(m_dir.Path(), args);
    }

    // The admin socket of node `n`.
    std::string Socket(int n) const
    {
        return (m_dir.Path() / ("admin" + std::to_string(n) + ".sock")).string();
    }

    CTempDir m_dir;
    // Every node shares this store: an SQLite file, or a PostgreSQL schema
    // in the pg run.
    CTestDatabase m_database{m_dir.Path(), "cluster.db"};
    const std::string m_db = m_database.Location();
    std::unique_ptr<CNatsServer> m_nats;
    std::unique_ptr<CServerProcess> m_node1;
    std::unique_ptr<CServerProcess> m_node2;
};

TEST_F(Cluster, UsersOnTwoNodesWorkTogether)
{
    {
        CTestClient registrar(m_node1->Port());
        for (const char* name : {"anna", "bob", "carol"})
            registrar.Register(name, "pw");
    }
    CTestClient anna(m_node1->Port());
    anna.Login("anna", "pw");
    auto bob = std::make_unique<CTestClient>(m_node2->Port());
    bob->Login("bob", "pw");

    // A friend request and its answer, across the nodes.
    anna.Send(Cmd::AddFriend, "anna", "bob", "hello");
    EXPECT_EQ(anna.Expect(Cmd::FriendRequestSent).sender, "bob");
    EXPECT_EQ(bob->Expect(Cmd::FriendRequest).text,
              "User anna wants to add you to his/her friends list\nhello");
    bob->Send(Cmd::AcceptAndAdd, "bob", "anna", "welcome");
    EXPECT_EQ(bob->Expect(Cmd::NewFriendOnline).sender, "anna");
    EXPECT_EQ(anna.Expect(Cmd::NewFriendOnline).sender, "bob");
    EXPECT_EQ(anna.Expect(Cmd::IncomingMessage).text, "welcome");

    // Both ways, fonts byte for byte; the receipt comes back from node 2.
    const CNetMessage toBob = MakeFontMessage("bob", "from node 1", "n1");
    anna.Send(toBob);
    const CNetMessage sm = bob->Expect(Cmd::IncomingMessage);
    ExpectSameFont(toBob, sm);
    EXPECT_EQ(sm.names, toBob.names);
    ExpectReceipt(anna, "n1", "delivered");
    bob->Send(MakeFontMessage("anna", "from node 2"));
    EXPECT_EQ(anna.Expect(Cmd::IncomingMessage).text, "from node 2");

    // Presence: bob leaves node 2 and comes back on node 1, where the
    // message written meanwhile waits for him, once.
    bob->Send(Cmd::Logoff, "bob");
    EXPECT_TRUE(bob->WaitClosed());
    EXPECT_EQ(anna.Expect(Cmd::FriendOffline).sender, "bob");
    anna.Send(MakeFontMessage("bob", "while you were away"));
    anna.Send(Cmd::BlockedList, "anna"); // a round trip: the message is kept
    anna.Expect(Cmd::BlockedListAnswer);
    bob = std::make_unique<CTestClient>(m_node1->Port());
    EXPECT_EQ(bob->Login("bob", "pw").names, std::vector<std::string>{"anna*"});
    EXPECT_EQ(anna.Expect(Cmd::FriendOnline).sender, "bob");
    CNetMessage o = bob->Expect(Cmd::OfflineMessage);
    EXPECT_EQ(o.text, "while you were away");
    bob->Expect(Cmd::OfflineEnd);
    EXPECT_TRUE(bob->ExpectNoRecord());
    o.command = Cmd::OfflineAck;
    bob->Send(o);
    bob->Send(Cmd::BlockedList, "bob"); // the acknowledgement is committed
    bob->Expect(Cmd::BlockedListAnswer);

    // A second login of bob, on node 2, ends the one on node 1; anna sees
    // no change of presence, and her next message reaches the new session.
    CTestClient bob2(m_node2->Port());
    EXPECT_EQ(bob2.Login("bob", "pw").names, std::vector<std::string>{"anna*"});
    bob->Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(bob->WaitClosed());
    EXPECT_TRUE(anna.ExpectNoRecord());
    anna.Send(MakeFontMessage("bob", "to the new session"));
    EXPECT_EQ(bob2.Expect(Cmd::IncomingMessage).text, "to the new session");
    EXPECT_TRUE(bob2.ExpectNoRecord());

    // Node 2 dies with bob logged in: what it stored stays, and anna sees bob
    // go offline within the heartbeat's time-out.
    bob2.Send(MakeFontMessage("carol", "kept by node 2"));
    bob2.Send(Cmd::BlockedList, "bob");
    bob2.Expect(Cmd::BlockedListAnswer);
    EXPECT_EQ(m_node2->Stop(SIGKILL), -1);
    anna.Send(MakeFontMessage("bob", "after the crash"));
    EXPECT_EQ(anna.Expect(Cmd::FriendOffline, 10s).sender, "bob");

    CTestClient carol(m_node1->Port());
    carol.Login("carol", "pw");
    EXPECT_EQ(carol.Expect(Cmd::OfflineMessage).text, "kept by node 2");
    CTestClient bob3(m_node1->Port());
    bob3.Login("bob", "pw");
    // Kept at once when the NATS server had seen node 2 go ("no
    // responders"), else once its answer is overdue; then it comes live.
    const CNetMessage late = bob3.Receive(10s).value_or(CNetMessage());
    EXPECT_TRUE(late.command == Cmd::OfflineMessage || late.command == Cmd::IncomingMessage) << late.command;
    EXPECT_EQ(late.text, "after the crash");
    if (late.command == Cmd::OfflineMessage)
        bob3.Expect(Cmd::OfflineEnd);
    EXPECT_TRUE(bob3.ExpectNoRecord());
    EXPECT_EQ(m_node1->Stop(SIGTERM), 0);
}

TEST_F(Cluster, NodesThatLoseEachOtherShowTheirUsersAgainOnReturn)
{
    {
        CTestClient registrar(m_node1->Port());
        registrar.Register("anna", "pw");
        registrar.Register("bob", "pw");
    }
    CTestClient anna(m_node1->Port());
    anna.Login("anna", "pw");
    CTestClient bob(m_node2->Port());
    bob.Login("bob", "pw");
    anna.Send(Cmd::AddFriend, "anna", "bob");
    anna.Expect(Cmd::FriendRequestSent);
    bob.Expect(Cmd::FriendRequest);
    bob.Send(Cmd::AcceptAndAdd, "bob", "anna");
    bob.Expect(Cmd::NewFriendOnline);
    anna.Expect(Cmd::NewFriendOnline);

    // Without the NATS server each node takes the other for gone once its
    // heartbeats are overdue; back on the same port, both see each other
    // again. What anna writes meanwhile is kept, and bob gets it once.
    const uint16_t natsPort = m_nats->Port();
    m_nats.reset();
    // Written once node 1 knows the link is down, before it takes bob for gone.
    ASSERT_TRUE(
        Eventually([&] { return m_node1->Log().find("lost the NATS connection") != std::string::npos; }));
    anna.Send(MakeFontMessage("bob", "while apart", "apart"));
    ExpectReceipt(anna, "apart", "stored");
    EXPECT_EQ(anna.Expect(Cmd::FriendOffline, 15s).sender, "bob");
    EXPECT_EQ(bob.Expect(Cmd::FriendOffline, 15s).sender, "anna");
    m_nats = std::make_unique<CNatsServer>(m_dir.Path(), natsPort);
    ASSERT_FALSE(m_nats->Url().empty());
    EXPECT_EQ(anna.Expect(Cmd::FriendOnline, 15s).sender, "bob");
    std::vector<std::string> seen;
    while (seen.size() < 3) {
        const auto record = bob.Receive(15s);
        ASSERT_TRUE(record) << seen.size();
        seen.push_back(record->command == Cmd::OfflineMessage ? record->text : record->command);
        // Kept while NATS was away, and still every field.
        if (record->command == Cmd::OfflineMessage) {
            ExpectSameFont(MakeFontMessage("bob", ""), *record);
            EXPECT_EQ(record->names.back(), "apart");
        }
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{Cmd::OfflineEnd, Cmd::FriendOnline, "while apart"}));
    EXPECT_TRUE(bob.ExpectNoRecord());
}

TEST_F(Cluster, AMessageWrittenWhileTheRecipientLogsInElsewhereArrivesOnce)
{
    {
        CTestClient registrar(m_node1->Port());
        registrar.Register("anna", "pw");
        registrar.Register("bob", "pw");
    }
    CTestClient anna(m_node1->Port());
    anna.Login("anna", "pw");
    // Each round anna writes while bob's login on node 2 is under way: node 1
    // sends it there or stores it and tells node 2, whichever it takes, and
    // bob's session gets it once.
    for (int round = 0; round < 10; ++round) {
        const std::string text = "round " + std::to_string(round);
        CTestClient bob(m_node2->Port());
        bob.Send(LoginRecord("bob"));
        anna.Send(MakeFontMessage("bob", text));
        bob.Expect(Cmd::LoginAccepted);
        bob.Send(Cmd::FriendsList, "bob");
        bob.Send(Cmd::LoginComplete, "bob");
        std::optional<CNetMessage> got;
        bool listed = false;
        while (!listed || !got) {
            auto record = bob.Receive(10s);
            ASSERT_TRUE(record) << text << ": list " << listed << ", message " << got.has_value();
            if (record->command == Cmd::FriendsListAnswer)
                listed = true;
            else if (record->command == Cmd::IncomingMessage || record->command == Cmd::OfflineMessage)
                got = std::move(record);
            else
                ADD_FAILURE() << "unexpected \"" << record->command << "\"";
        }
        EXPECT_EQ(got->text, text);
        if (got->command == Cmd::OfflineMessage) {
            bob.Expect(Cmd::OfflineEnd);
            got->command = Cmd::OfflineAck;
            bob.Send(*got);
        }
        EXPECT_TRUE(bob.ExpectNoRecord()) << text;
        bob.Send(Cmd::Logoff, "bob");
        EXPECT_TRUE(bob.WaitClosed());
    }
}

TEST_F(Cluster, TwoLoginsOfOneUserRacingOnTwoNodesLeaveOneSession)
{
    CTestClient(m_node1->Port()).Register("bob", "pw");
    // The loser's "ZX" goes out before the winner's "SL": once both have
    // their "SL", it is the next record for the loser.
    for (int round = 0; round < 5; ++round) {
        CTestClient bobs[] = {CTestClient(m_node1->Port()), CTestClient(m_node2->Port())};
        int ended = 0;
        for (auto& bob : bobs)
            bob.Send(LoginRecord("bob"));
        for (auto& bob : bobs)
            bob.Expect(Cmd::LoginAccepted);
        for (auto& bob : bobs) {
            bob.Send(Cmd::FriendsList, "bob");
            const std::string next = bob.Receive().value_or(CNetMessage()).command;
            ended += next == Cmd::AdminLogoff;
            if (next == Cmd::FriendsListAnswer)
                bob.Send(Cmd::Logoff, "bob");
            EXPECT_TRUE(bob.WaitClosed()) << next;
        }
        EXPECT_EQ(ended, 1) << round;
    }
}

TEST_F(Cluster, WritesOnOneNodeReachTheOthersRoutes)
{
    // bob registers and blocks anna on node 2; node 1 follows both at once.
    CTestClient anna(m_node1->Port());
    anna.Register("anna", "pw");
    anna.Login("anna", "pw");
    CTestClient bob(m_node2->Port());
    bob.Register("bob", "pw");
    bob.Login("bob", "pw");
    anna.Send(Cmd::AddFriend, "anna", "bob");
    EXPECT_EQ(anna.Expect(Cmd::FriendRequestSent).sender, "bob");
    bob.Expect(Cmd::FriendRequest);
    for (const char* block : {Cmd::BlockUntilLogoff, Cmd::BlockPermanently}) {
        bob.Send(block, "bob", "anna");
        bob.Send(Cmd::BlockedList, "bob");
        bob.Expect(Cmd::BlockedListAnswer);
        anna.Send(MakeFontMessage("bob", std::string("through a block: ") + block));
        anna.Send(Cmd::BlockedList, "anna");
        anna.Expect(Cmd::BlockedListAnswer);
        EXPECT_TRUE(bob.ExpectNoRecord());
    }
}

TEST_F(Cluster, TheOperatorsChangesReachEveryNode)
{
    {
        CTestClient registrar(m_node1->Port());
        for (const char* name : {"anna", "bob", "carol"})
            registrar.Register(name, "pw");
    }
    auto anna = std::make_unique<CTestClient>(m_node1->Port());
    anna->Login("anna", "pw");
    auto bob = std::make_unique<CTestClient>(m_node2->Port());
    bob->Login("bob", "pw");
    anna->Send(Cmd::AddFriend, "anna", "bob");
    anna->Expect(Cmd::FriendRequestSent);
    bob->Expect(Cmd::FriendRequest);
    bob->Send(Cmd::AcceptAndAdd, "bob", "anna");
    bob->Expect(Cmd::NewFriendOnline);
    anna->Expect(Cmd::NewFriendOnline);

    // Locked through node 1: the session on node 2 ends, and so do its
    // logins there.
    EXPECT_EQ(RunCtl({"--socket", Socket(1), "lock", "bob"}).status, 0);
    bob->Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(bob->WaitClosed());
    EXPECT_EQ(anna->Expect(Cmd::FriendOffline).sender, "bob");
    bob = std::make_unique<CTestClient>(m_node2->Port());
    bob->Send(Cmd::Login, "bob", "pw");
    EXPECT_EQ(bob->Expect(Cmd::LoginFailed).sender, "Invalid user name or password");
    EXPECT_EQ(RunCtl({"--socket", Socket(2), "unlock", "bob"}).status, 0);
    bob->Login("bob", "pw");
    EXPECT_EQ(anna->Expect(Cmd::FriendOnline).sender, "bob");

    // A new password through node 2 ends the session on node 1.
    CTestClient carol(m_node1->Port());
    carol.Login("carol", "pw");
    EXPECT_EQ(RunCtl({"--socket", Socket(2), "passwd", "carol"}, "new1\n").status, 0);
    carol.Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(carol.WaitClosed());

    // Deleted through node 2: anna's session on node 1 ends, bob sees her
    // leave, and node 1 forgets the name, which is free again.
    EXPECT_EQ(RunCtl({"--socket", Socket(2), "delete", "anna"}).status, 0);
    EXPECT_EQ(bob->Expect(Cmd::FriendOffline).sender, "anna");
    anna->Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(anna->WaitClosed());
    EXPECT_EQ(RunCtl({"--socket", Socket(1), "users"}).out, "bob\ncarol\n");
    CTestClient again(m_node1->Port());
    again.Register("anna", "pw");
    EXPECT_TRUE(again.Login("anna", "pw").names.empty());
}

TEST_F(Cluster, AStoppedNatsServerHoldsTheLoginThatWaitsForItAndNothingElse)
{
    {
        CTestClient registrar(m_node1->Port());
        for (const char* name : {"anna", "bob", "carol", "dave"})
            registrar.Register(name, "pw");
    }
    CTestClient dave(m_node2->Port());
    dave.Login("dave", "pw");
    CTestClient anna(m_node1->Port());
    anna.Login("anna", "pw");
    CTestClient bob(m_node1->Port());
    bob.Login("bob", "pw");

    // carol's login waits for answers that cannot come, for 2 s; meanwhile
    // node 1 serves anna and bob as usual.
    m_nats->Pause();
    CTestClient carol(m_node1->Port());
    const auto start = std::chrono::steady_clock::now();
    carol.Send(LoginRecord("carol"));
    anna.Send(MakeFontMessage("bob", "while carol waits"));
    EXPECT_EQ(bob.Expect(Cmd::IncomingMessage).text, "while carol waits");
    bob.Send(MakeFontMessage("anna", "answered"));
    EXPECT_EQ(anna.Expect(Cmd::IncomingMessage).text, "answered");
    EXPECT_FALSE(carol.Receive(0ms)) << "carol's login was answered before the exchange";
    EXPECT_EQ(carol.Expect(Cmd::LoginAccepted, 4s).recipient, "carol");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    // Back, the NATS server passes on what waited. carol's message goes out
    // behind her "O", so dave's node knows where to answer her.
    ASSERT_EQ(::kill(m_nats->Pid(), SIGCONT), 0);
    carol.Send(Cmd::FriendsList, "carol");
    carol.Expect(Cmd::FriendsListAnswer);
    carol.Send(MakeFontMessage("dave", "across"));
    EXPECT_EQ(dave.Expect(Cmd::IncomingMessage).text, "across");
    dave.Send(MakeFontMessage("carol", "and back"));
    EXPECT_EQ(carol.Expect(Cmd::IncomingMessage).text, "and back");
    const auto again = std::chrono::steady_clock::now();
    CTestClient bob2(m_node1->Port());
    bob2.Login("bob", "pw");
    bob.Expect(Cmd::AdminLogoff);
    EXPECT_LT(std::chrono::steady_clock::now() - again, 1500ms) << "the login waited for its time-out";

    // Stopped long enough for node 1 to keep a message for dave that node 2
    // does not answer for; back, the NATS server passes it on all the same.
    // dave gets it once, whichever way comes first.
    m_nats->Pause();
    anna.Send(MakeFontMessage("dave", "held", "held"));
    ExpectReceipt(anna, "held", "stored", 10s);
    ASSERT_EQ(::kill(m_nats->Pid(), SIGCONT), 0);
    const CNetMessage held = dave.Receive(10s).value_or(CNetMessage());
    EXPECT_EQ(held.names.empty() ? "" : held.names.back(), "held") << held.command;
    if (held.command == Cmd::OfflineMessage)
        dave.Expect(Cmd::OfflineEnd);
    // What node 2 hears of next comes after both copies.
    anna.Send(Cmd::AddFriend, "anna", "dave");
    anna.Expect(Cmd::FriendRequestSent);
    EXPECT_EQ(dave.Expect(Cmd::FriendRequest, 10s).sender, "anna");
    EXPECT_TRUE(dave.ExpectNoRecord());
}

TEST_F(Cluster, AFarNatsServerDoesNotSlowMessagesWithinANode)
{
    constexpr int kUsers = 60;
    {
        CTestClient registrar(m_node1->Port());
        for (int i = 0; i < kUsers; ++i)
            registrar.Register("user" + std::to_string(i), "pw");
        registrar.Register("anna", "pw");
        registrar.Register("bob", "pw");
    }
    // Every chunk passes 20 ms after it came, both ways: a NATS server in
    // another zone.
    CLinkRelay link(CLinkRelay::LoopbackPort(m_nats->Port()));
    link.Slow(20ms);
    m_node1 = Node({}, "nats://127.0.0.1:" + std::to_string(link.Port()));
    ASSERT_NE(m_node1->Port(), 0);
    CTestClient anna(m_node1->Port());
    anna.Login("anna", "pw");
    CTestClient bob(m_node1->Port());
    bob.Login("bob", "pw");
    std::vector<std::unique_ptr<CTestClient>> users;
    const auto logIn = [&] {
        for (int i = 0; i < kUsers / 2; ++i) {
            users.push_back(std::make_unique<CTestClient>(m_node1->Port()));
            users.back()->Send(LoginRecord("user" + std::to_string(users.size() - 1)));
        }
    };

    // The exchange comes while the node is answering logins: after the
    // first of them is answered, with the others on their way. A node that
    // waits for each login's two round trips of 40 ms would answer it after
    // more than a second; one that does not, within a few milliseconds even
    // under sanitizers on a busy machine. 500 ms lies well between.
    logIn();
    EXPECT_EQ(users.front()->Expect(Cmd::LoginAccepted, 10s).command, Cmd::LoginAccepted);
    logIn();
    const auto start = std::chrono::steady_clock::now();
    anna.Send(MakeFontMessage("bob", "quick"));
    EXPECT_EQ(bob.Expect(Cmd::IncomingMessage).text, "quick");
    bob.Send(MakeFontMessage("anna", "quick too"));
    EXPECT_EQ(anna.Expect(Cmd::IncomingMessage).text, "quick too");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    for (std::size_t i = 1; i < users.size(); ++i)
        EXPECT_EQ(users[i]->Expect(Cmd::LoginAccepted, 10s).command, Cmd::LoginAccepted);
}

} // namespace
