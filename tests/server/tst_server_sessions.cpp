#include "serverfixture.h"

#include "commands.h"

namespace {

class Sessions : public ServerTest
{
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
    m_server = std::make_unique<CInProcessServer>((m_dir->Path() / "slow.db").string(),
                                                  CPasswordHasher::Cost::Interactive);
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

} // namespace
