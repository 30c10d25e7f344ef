#include "serverfixture.h"

#include "commands.h"
#include "sqlitedb.h"

namespace {

class Blocks : public ServerTest
{
protected:
    CNetMessage Unblock(std::vector<std::string> names)
    {
        CNetMessage m;
        m.command = Cmd::Unblock;
        m.names = std::move(names);
        return m;
    }
};

TEST_F(Blocks, PermanentBlockDropsMessagesLiveAndStored)
{
    auto alice = Online("alice");
    {
        auto bob = Online("bob");
        bob->Send(Cmd::BlockPermanently, "bob", "alice");
        bob->Send(Cmd::BlockedList, "bob");
        bob->Expect(Cmd::BlockedListAnswer);
        alice->Send(MakeFontMessage("bob", "live"));
        alice->ExpectNoRecord(); // no failure: the block stays secret
        bob->ExpectNoRecord();
    }
    alice->Send(MakeFontMessage("bob", "stored"));
    alice->ExpectNoRecord();
    Restart();
    auto bob = Connect();
    bob->Login("bob", "pw");
    bob->ExpectNoRecord();
    // Loaded again at start: live messages are still dropped.
    alice = Connect();
    alice->Login("alice", "pw");
    alice->Send(MakeFontMessage("bob", "live after restart"));
    alice->ExpectNoRecord();
    bob->ExpectNoRecord();
}

TEST_F(Blocks, BlockedRequesterIsAnsweredButNotDelivered)
{
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    {
        auto bob = Connect();
        bob->Login("bob", "pw");
        bob->Send(Cmd::BlockPermanently, "bob", "alice");
        bob->Send(Cmd::BlockedList, "bob"); // the block is in place
        bob->Expect(Cmd::BlockedListAnswer);
        alice->Send(Cmd::AddFriend, "alice", "bob", "please");
        EXPECT_EQ(alice->Expect(Cmd::FriendRequestSent).sender, "bob");
        bob->ExpectNoRecord();
    }
    auto bob = Connect();
    bob->Login("bob", "pw");
    bob->ExpectNoRecord();
}

TEST_F(Blocks, SessionBlockEndsAtLogoff)
{
    auto alice = Online("alice");
    {
        auto bob = Online("bob");
        bob->Send(Cmd::BlockUntilLogoff, "bob", "alice");
        bob->Send(Cmd::BlockedList, "bob");
        EXPECT_EQ(bob->Expect(Cmd::BlockedListAnswer).names, std::vector<std::string>{"alice*"});
        alice->Send(MakeFontMessage("bob", "dropped"));
        alice->ExpectNoRecord();
        bob->ExpectNoRecord();
        bob->Send(Cmd::Logoff, "bob", "bob");
        EXPECT_TRUE(bob->WaitClosed());
    }
    auto bob = Connect();
    bob->Login("bob", "pw");
    bob->ExpectNoRecord(); // the dropped message was not stored
    bob->Send(Cmd::BlockedList, "bob");
    EXPECT_TRUE(bob->Expect(Cmd::BlockedListAnswer).names.empty());
    alice->Send(MakeFontMessage("bob", "delivered"));
    EXPECT_EQ(bob->Expect(Cmd::IncomingMessage).text, "delivered");
}

TEST_F(Blocks, ListOrderAndUnblock)
{
    for (const char* name : {"carol", "dave", "erin", "frank"})
        Connect()->Register(name, "pw");
    auto bob = Online("bob");
    bob->Send(Cmd::BlockUntilLogoff, "bob", "erin");
    bob->Send(Cmd::BlockPermanently, "bob", "dave");
    bob->Send(Cmd::BlockPermanently, "bob", "carol");
    bob->Send(Cmd::BlockUntilLogoff, "bob", "frank");
    bob->Send(Cmd::BlockUntilLogoff, "bob", "carol");  // already permanent
    bob->Send(Cmd::BlockPermanently, "bob", "nobody"); // no such user
    bob->Send(Cmd::BlockedList, "bob");
    EXPECT_EQ(bob->Expect(Cmd::BlockedListAnswer).names,
              (std::vector<std::string>{"dave", "carol", "erin*", "frank*"}));

    // A session block made permanent is listed once, as permanent.
    bob->Send(Cmd::BlockPermanently, "bob", "erin");
    bob->Send(Cmd::BlockedList, "bob");
    EXPECT_EQ(bob->Expect(Cmd::BlockedListAnswer).names,
              (std::vector<std::string>{"dave", "carol", "erin", "frank*"}));

    bob->Send(Unblock({"carol", "frank*"}));
    bob->Expect(Cmd::Unblocked);
    bob->Send(Cmd::BlockedList, "bob");
    EXPECT_EQ(bob->Expect(Cmd::BlockedListAnswer).names, (std::vector<std::string>{"dave", "erin"}));

    // Permanent blocks are kept in the store.
    Restart();
    bob = Connect();
    bob->Login("bob", "pw");
    bob->Send(Cmd::BlockedList, "bob");
    EXPECT_EQ(bob->Expect(Cmd::BlockedListAnswer).names, (std::vector<std::string>{"dave", "erin"}));
}

TEST_F(Blocks, UnblockingSeveralLiftsAllOrNone)
{
    const std::vector<std::string> names = {"carol", "dave", "erin"};
    for (const auto& name : names)
        Connect()->Register(name, "pw");
    auto bob = Online("bob");
    for (const auto& name : names)
        bob->Send(Cmd::BlockPermanently, "bob", name);
    bob->Send(Cmd::BlockedList, "bob");
    EXPECT_EQ(bob->Expect(Cmd::BlockedListAnswer).names, names);
    {
        // The database refuses to lift the last one, halfway through.
        if (CTestDatabase::Postgres())
            m_db->Exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                       "'BEGIN RAISE EXCEPTION ''refused''; END'; "
                       "CREATE TRIGGER refuse BEFORE DELETE ON block FOR EACH ROW "
                       "WHEN (old.blocked = 'erin') EXECUTE FUNCTION refuse()");
        else
            m_db->Exec("CREATE TRIGGER refuse BEFORE DELETE ON block WHEN old.blocked = 'erin' "
                       "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    }
    bob->Send(Unblock(names));
    EXPECT_TRUE(bob->WaitClosed());

    bob = Connect();
    bob->Login("bob", "pw");
    bob->Send(Cmd::BlockedList, "bob");
    EXPECT_EQ(bob->Expect(Cmd::BlockedListAnswer).names, names);
    auto carol = Connect();
    carol->Login("carol", "pw");
    carol->Send(MakeFontMessage("bob", "still blocked"));
    carol->ExpectNoRecord();
    bob->ExpectNoRecord();
}

TEST_F(Blocks, UnblockedUserGetsThrough)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    bob->Send(Cmd::BlockPermanently, "bob", "alice");
    bob->Send(Unblock({"alice"}));
    bob->Expect(Cmd::Unblocked);
    alice->Send(MakeFontMessage("bob", "hello again"));
    EXPECT_EQ(bob->Expect(Cmd::IncomingMessage).text, "hello again");
}

TEST_F(Blocks, BlockedFriendAnswerDoesNotReachTheBlocker)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    alice->Send(Cmd::AddFriend, "alice", "bob");
    alice->Expect(Cmd::FriendRequestSent);
    bob->Expect(Cmd::FriendRequest);
    alice->Send(Cmd::BlockPermanently, "alice", "bob");
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", "accepted");
    bob->Expect(Cmd::NewFriendOffline); // a blocker looks offline to the blocked user
    alice->ExpectNoRecord();
    alice->Send(Cmd::FriendsList, "alice");
    EXPECT_TRUE(alice->Expect(Cmd::FriendsListAnswer).names.empty());
}

} // namespace
