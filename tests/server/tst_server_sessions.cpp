#include "serverfixture.h"

#include "commands.h"
#include "server.h"
#include "wire.h"

namespace {

class Sessions : public ServerTest
{
protected:
    // Limits under which one record of about 130 bytes fits the send queue
    // and two do not.
    static CServerLimits TinyQueue()
    {
        CServerLimits limits;
        limits.maxQueuedBytes = 150;
        return limits;
    }
    static std::string Record(const char* command, std::string recipient, std::string text = {})
    {
        CNetMessage m = MakeRecord(command, {}, std::move(recipient));
        m.text = std::move(text);
        return EncodeRecord(m);
    }
};

TEST_F(Sessions, RecordsBeforeLoginAreIgnored)
{
    Connect()->Register("bob", "pw");
    auto bob = Connect();
    auto c = Connect();
    c->Register("alice", "pw");
    c->Send(Cmd::FriendsList, "alice");
    c->Send(Cmd::LoginComplete, "alice");
    c->Send(Cmd::BlockedList, "alice");
    CNetMessage m = MakeFontMessage("bob", "sneaky");
    m.sender = "alice";
    c->Send(m);
    c->Send(Cmd::AddFriend, "alice", "bob");
    c->Send(Cmd::ChangePassword, "alice", "new", "pw");
    c->Send(Cmd::Logoff, "alice", "alice");
    c->ExpectNoRecord();
    EXPECT_TRUE(c->IsConnected());
    c->Login("alice", "pw"); // the password did not change
    c->ExpectNoRecord();
    bob->Login("bob", "pw");
    bob->ExpectNoRecord(); // nothing was stored for bob
}

TEST_F(Sessions, UnknownCommandsAreIgnored)
{
    auto alice = Online("alice");
    alice->Send("NOPE", "alice");
    alice->Send("SLUX", "alice");
    alice->Send("", "alice");
    alice->ExpectNoRecord();
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
}

TEST_F(Sessions, SecondLoginEndsTheFirst)
{
    auto bob = Online("bob");
    auto first = Online("alice");
    first->Send(Cmd::AddFriend, "alice", "bob");
    first->Expect(Cmd::FriendRequestSent);
    bob->Expect(Cmd::FriendRequest);
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", "");
    bob->Expect(Cmd::NewFriendOnline);
    first->Expect(Cmd::NewFriendOnline);
    first->Send(Cmd::BlockUntilLogoff, "alice", "bob");

    auto second = Connect();
    second->Login("alice", "pw");
    first->Expect(Cmd::AdminLogoff);
    EXPECT_TRUE(first->WaitClosed());
    // alice never went offline: her friend hears nothing.
    bob->ExpectNoRecord();
    // The old session's block ended with it.
    bob->Send(MakeFontMessage("alice", "to the new session"));
    EXPECT_EQ(second->Expect(Cmd::IncomingMessage).text, "to the new session");
}

TEST_F(Sessions, LateLogoffFromOldSessionChangesNothing)
{
    auto bob = Online("bob");
    auto first = Online("alice");
    auto second = Connect();
    // Send "X" on the old connection right behind the new login.
    second->Send(Cmd::Login, "alice", "pw");
    first->Send(Cmd::Logoff, "alice", "alice");
    EXPECT_EQ(second->Expect(Cmd::LoginAccepted).recipient, "alice");
    EXPECT_TRUE(first->WaitClosed());
    bob->Send(MakeFontMessage("alice", "still online"));
    EXPECT_EQ(second->Expect(Cmd::IncomingMessage).text, "still online");
}

TEST_F(Sessions, HashingDoesNotDelayRouting)
{
    // With the real cost, a burst of logins keeps both workers busy for a
    // good while; messages between users already online must still flow.
    m_server.reset();
    m_server = std::make_unique<CInProcessServer>(m_db->Location(), CPasswordHasher::Cost::Interactive);
    auto alice = Online("alice");
    auto bob = Online("bob");
    std::vector<std::unique_ptr<CTestClient>> crowd;
    for (int i = 0; i < 24; ++i) {
        crowd.push_back(Connect());
        crowd.back()->Send(Cmd::Login, "alice", "wrong");
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        alice->Send(MakeFontMessage("bob", "ping " + std::to_string(i)));
        EXPECT_EQ(bob->Expect(Cmd::IncomingMessage, 2s).text, "ping " + std::to_string(i));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // Hashing 24 passwords on the loop would take well over two seconds.
    EXPECT_LT(elapsed, 2s);
    for (auto& c : crowd)
        c->Expect(Cmd::LoginFailed, 30s);
}

TEST_F(Sessions, BacklogLargerThanTheSendQueueReachesAReaderInOrder)
{
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    // 20 messages of 60 KB: more than the send queue holds at once.
    for (int i = 0; i < 20; ++i)
        alice->Send(Cmd::Message, "alice", "bob", std::to_string(i) + " " + std::string(60'000, 'x'));
    alice->Send(Cmd::AddFriend, "alice", "bob");
    alice->Expect(Cmd::FriendRequestSent);

    auto bob = Connect();
    bob->Login("bob", "pw");
    for (int i = 0; i < 20; ++i) {
        const std::string text = bob->Expect(Cmd::OfflineMessage).text;
        EXPECT_EQ(text.size(), 60'002u + (i >= 10));
        EXPECT_EQ(text.substr(0, text.find(' ')), std::to_string(i));
    }
    bob->Expect(Cmd::OfflineEnd);
    EXPECT_EQ(bob->Expect(Cmd::FriendRequest).sender, "alice");
}

TEST_F(Sessions, FullQueueClosesOnlyAfterTheHandler)
{
    Restart(TinyQueue());
    auto bob = Online("bob");
    auto alice = Online("alice");
    alice->Send(Cmd::AddFriend, "alice", "bob");
    alice->Expect(Cmd::FriendRequestSent);
    bob->Expect(Cmd::FriendRequest);
    // The answer gives alice "SFN" and the words as "SM" at once: together
    // they overflow her queue while the answer is being served, and bob still
    // hears of his new friend.
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", std::string(80, 'x'));
    const auto added = bob->Receive();
    ASSERT_TRUE(added);
    EXPECT_TRUE(added->command == Cmd::NewFriendOnline || added->command == Cmd::NewFriendOffline);
    EXPECT_EQ(added->sender, "alice");
    EXPECT_TRUE(alice->WaitClosed());
}

TEST_F(Sessions, FullQueuesDuringLogoffLeaveTheOnlineTableIntact)
{
    {
        auto alice = Online("alice");
        auto bob = Online("bob");
        alice->Send(Cmd::AddFriend, "alice", "bob");
        alice->Expect(Cmd::FriendRequestSent);
        bob->Expect(Cmd::FriendRequest);
        bob->Send(Cmd::AcceptAndAdd, "bob", "alice");
        alice->Expect(Cmd::NewFriendOnline);
    }
    Restart(TinyQueue());
    auto bob = Connect();
    bob->Login("bob", "pw");
    auto alice = Connect();
    alice->Login("alice", "pw");
    bob->Expect(Cmd::FriendOnline);
    // Alice logs off behind a message to each of them; whichever queue is
    // full when her "SX" comes, the online table stays whole.
    const std::string filler(80, 'x');
    ASSERT_TRUE(alice->SendRaw(Record(Cmd::Message, "bob", filler) + Record(Cmd::Message, "alice", filler) +
                               Record(Cmd::Logoff, "alice")));
    EXPECT_TRUE(alice->WaitClosed());
    auto carol = Online("carol");
    carol->Send(Cmd::BlockedList, "carol");
    carol->Expect(Cmd::BlockedListAnswer);
    carol->Send(MakeFontMessage("bob", "still here?"));
    carol->Send(Cmd::BlockedList, "carol");
    carol->Expect(Cmd::BlockedListAnswer);
}

TEST_F(Sessions, SilentAndStalledConnectionsAreClosed)
{
    CServerLimits limits;
    // Long enough for a slow (sanitizer) build to log in; nothing here
    // waits for the time-outs but for the closes they cause.
    limits.loginTimeout = 4s;
    limits.recordTimeout = 2s;
    Restart(limits);
    auto alice = Online("alice");
    auto silent = Connect();
    auto stalled = Online("bob");
    ASSERT_TRUE(stalled->SendRaw(Record(Cmd::Message, "alice", "half").substr(0, 20)));
    EXPECT_TRUE(silent->WaitClosed(20s));
    EXPECT_TRUE(stalled->WaitClosed(20s));
    // alice logged in in time; her deadline passed before the silent one's.
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
}

TEST_F(Sessions, ConnectionsBeyondTheLimitAreClosedAtOnce)
{
    CServerLimits limits;
    limits.maxConnections = 2;
    Restart(limits);
    auto alice = Online("alice");
    auto second = Connect();
    second->Register("bob", "pw");
    // Full: one that has not logged in makes room for the newcomer; once all
    // have logged in, the newcomer goes.
    auto third = Connect();
    EXPECT_TRUE(second->WaitClosed());
    third->Login("bob", "pw");
    auto fourth = Connect();
    EXPECT_TRUE(fourth->WaitClosed());
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
}

TEST_F(Sessions, UnexpectedErrorClosesOnlyThatConnection)
{
    Restart({}, true);
    auto alice = Online("alice");
    auto boom = Connect();
    boom->Register("boom", "pw");
    boom->Send(Cmd::Login, "boom", "pw");
    boom->Expect(Cmd::LoginAccepted);
    boom->Send(Cmd::FriendsList, "boom"); // the store throws
    EXPECT_TRUE(boom->WaitClosed());
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
}

} // namespace
