// Two server processes on one database, joined through a NATS server of the
// test's own: users on different nodes work together as on one.

#include "serverfixture.h"

#include "commands.h"
#include "server.h"

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

namespace {

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
        m_node1 = Node({"--fast-hash"});
        m_node2 = Node({});
        ASSERT_NE(m_node1->Port(), 0);
        ASSERT_NE(m_node2->Port(), 0);
    }

    std::unique_ptr<CServerProcess> Node(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--port", "0", "--db", m_db, "--cluster", m_nats->Url()});
        return std::make_unique<CServerProcess>(m_dir.Path(), args);
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
        CNetMessage login;
        login.command = Cmd::Login;
        login.sender = "bob";
        login.recipient = "pw";
        login.names = {"bob", "pw", "L"};
        bob.Send(login);
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

} // namespace
