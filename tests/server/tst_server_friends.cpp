#include "serverfixture.h"

#include "commands.h"

namespace {

class Friends : public ServerTest
{
protected:
    // alice asks bob; both online. Leaves the "SF" and "SFA" taken.
    void Ask(CTestClient& alice, CTestClient& bob, const std::string& text = "hi")
    {
        alice.Send(Cmd::AddFriend, "alice", "bob", text);
        EXPECT_EQ(alice.Expect(Cmd::FriendRequestSent).sender, "bob");
        EXPECT_EQ(bob.Expect(Cmd::FriendRequest).sender, "alice");
    }
};

std::vector<std::string> Names(const CNetMessage& msg)
{
    return msg.names;
}

TEST_F(Friends, RequestToOnlineUser)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    alice->Send(Cmd::AddFriend, "mallory", "bob", "let us talk");
    EXPECT_EQ(alice->Expect(Cmd::FriendRequestSent).sender, "bob");
    const CNetMessage sfa = bob->Expect(Cmd::FriendRequest);
    EXPECT_EQ(sfa.sender, "alice");
    EXPECT_EQ(sfa.text, "User alice wants to add you to his/her friends list\nlet us talk");
}

TEST_F(Friends, RequestWithoutTextHasNoLineFeed)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    alice->Send(Cmd::AddFriend, "alice", "bob", "");
    alice->Expect(Cmd::FriendRequestSent);
    EXPECT_EQ(bob->Expect(Cmd::FriendRequest).text, "User alice wants to add you to his/her friends list");
}

TEST_F(Friends, RequestToOfflineUserWaitsForLogin)
{
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    alice->Send(Cmd::AddFriend, "alice", "bob", "x");
    alice->Expect(Cmd::FriendRequestSent);
    // Sent twice: kept once.
    alice->Send(Cmd::AddFriend, "alice", "bob", "x");
    alice->Expect(Cmd::FriendRequestSent);

    auto bob = Connect();
    bob->Login("bob", "pw", false);
    bob->ExpectNoRecord();
    bob->Send(Cmd::LoginComplete, "bob");
    const CNetMessage sfa = bob->Expect(Cmd::FriendRequest); // no "OL": no offline messages
    EXPECT_EQ(sfa.sender, "alice");
    EXPECT_EQ(sfa.text, "User alice wants to add you to his/her friends list\nx");
    bob->ExpectNoRecord();
}

TEST_F(Friends, RequestFailures)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    alice->Send(Cmd::AddFriend, "alice", "alice");
    EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "You cannot add yourself");
    alice->Send(Cmd::AddFriend, "alice", "carol");
    EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "User carol does not exist");
    Ask(*alice, *bob);
    bob->Send(Cmd::JustAccept, "bob", "alice", "ok");
    alice->Expect(Cmd::NewFriendOnline);
    alice->Expect(Cmd::IncomingMessage);
    alice->Send(Cmd::AddFriend, "alice", "bob");
    EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "bob is already in your friends list");
    bob->ExpectNoRecord();
}

TEST_F(Friends, AcceptAndAddMakesBothFriends)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    Ask(*alice, *bob);
    const std::string text =
        "User bob has accepted your invitation and also has added you to his/her friends list";
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", text);
    EXPECT_EQ(bob->Expect(Cmd::NewFriendOnline).sender, "alice");
    EXPECT_EQ(alice->Expect(Cmd::NewFriendOnline).sender, "bob");
    const CNetMessage sm = alice->Expect(Cmd::IncomingMessage);
    EXPECT_EQ(sm.sender, "bob");
    EXPECT_EQ(sm.text, text);

    alice->Send(Cmd::FriendsList, "alice");
    EXPECT_EQ(Names(alice->Expect(Cmd::FriendsListAnswer)), std::vector<std::string>{"bob*"});
    bob->Send(Cmd::FriendsList, "bob");
    EXPECT_EQ(Names(bob->Expect(Cmd::FriendsListAnswer)), std::vector<std::string>{"alice*"});

    // The request is gone: a second answer does nothing.
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", text);
    bob->ExpectNoRecord();
    alice->ExpectNoRecord();
}

TEST_F(Friends, JustAcceptAddsOnlyToTheRequester)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    Ask(*alice, *bob);
    bob->Send(Cmd::JustAccept, "bob", "alice", "User bob has accepted your invitation");
    EXPECT_EQ(alice->Expect(Cmd::NewFriendOnline).sender, "bob");
    EXPECT_EQ(alice->Expect(Cmd::IncomingMessage).text, "User bob has accepted your invitation");
    bob->ExpectNoRecord();
    alice->Send(Cmd::FriendsList, "alice");
    EXPECT_EQ(Names(alice->Expect(Cmd::FriendsListAnswer)), std::vector<std::string>{"bob*"});
    bob->Send(Cmd::FriendsList, "bob");
    EXPECT_TRUE(bob->Expect(Cmd::FriendsListAnswer).names.empty());
}

TEST_F(Friends, AcceptWhileRequesterIsOffline)
{
    auto bob = Online("bob");
    {
        auto alice = Online("alice");
        Ask(*alice, *bob);
        alice->Send(Cmd::Logoff, "alice", "alice");
        EXPECT_TRUE(alice->WaitClosed());
    }
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", "welcome");
    EXPECT_EQ(bob->Expect(Cmd::NewFriendOffline).sender, "alice");

    auto alice = Connect();
    const CNetMessage slu = alice->Login("alice", "pw");
    EXPECT_EQ(Names(slu), std::vector<std::string>{"bob*"});
    const CNetMessage o = alice->Expect(Cmd::OfflineMessage);
    EXPECT_EQ(o.sender, "bob");
    EXPECT_EQ(o.text, "welcome");
    alice->Expect(Cmd::OfflineEnd);
}

TEST_F(Friends, DeclineRemovesTheRequest)
{
    auto alice = Online("alice");
    {
        auto bob = Online("bob");
        Ask(*alice, *bob);
        bob->Send(Cmd::Decline, "bob", "alice");
        bob->ExpectNoRecord();
        alice->ExpectNoRecord();
        bob->Send(Cmd::AcceptAndAdd, "bob", "alice", "too late");
        bob->ExpectNoRecord();
        alice->ExpectNoRecord();
        bob->Send(Cmd::Logoff, "bob", "bob");
    }
    auto bob = Connect();
    EXPECT_TRUE(bob->Login("bob", "pw").names.empty());
    bob->ExpectNoRecord(); // no "SFA" again
}

TEST_F(Friends, AnswersWithoutRequestAreIgnored)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", "hello");
    bob->Send(Cmd::JustAccept, "bob", "alice", "hello");
    bob->Send(Cmd::Decline, "bob", "alice");
    bob->ExpectNoRecord();
    alice->ExpectNoRecord();
    alice->Send(Cmd::FriendsList, "alice");
    EXPECT_TRUE(alice->Expect(Cmd::FriendsListAnswer).names.empty());
    // An answer to a request that went the other way does not count either.
    Ask(*alice, *bob);
    alice->Send(Cmd::AcceptAndAdd, "alice", "bob", "self-accept");
    alice->ExpectNoRecord();
    bob->ExpectNoRecord();
}

TEST_F(Friends, ListKeepsOrderAndMarksOnline)
{
    Connect()->Register("carol", "pw");
    auto alice = Online("alice");
    auto bob = Online("bob");
    auto dave = Online("dave");
    for (const char* name : {"dave", "carol", "bob"}) {
        alice->Send(Cmd::AddFriend, "alice", name);
        alice->Expect(Cmd::FriendRequestSent);
    }
    for (auto* friendClient : {dave.get(), bob.get()}) {
        friendClient->Expect(Cmd::FriendRequest);
    }
    bob->Send(Cmd::JustAccept, "bob", "alice", "");
    alice->Expect(Cmd::NewFriendOnline);
    dave->Send(Cmd::JustAccept, "dave", "alice", "");
    alice->Expect(Cmd::NewFriendOnline);
    auto carol = Connect();
    carol->Login("carol", "pw");
    carol->Expect(Cmd::FriendRequest);
    carol->Send(Cmd::JustAccept, "carol", "alice", "");
    alice->Expect(Cmd::NewFriendOnline);
    carol->Send(Cmd::Logoff, "carol", "carol");
    EXPECT_TRUE(carol->WaitClosed());
    alice->Expect(Cmd::FriendOffline);

    alice->Send(Cmd::FriendsList, "alice");
    EXPECT_EQ(Names(alice->Expect(Cmd::FriendsListAnswer)),
              (std::vector<std::string>{"bob*", "dave*", "carol"}));
}

TEST_F(Friends, DeleteOnlyTouchesOwnList)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    Ask(*alice, *bob);
    bob->Send(Cmd::AcceptAndAdd, "bob", "alice", "");
    bob->Expect(Cmd::NewFriendOnline);
    alice->Expect(Cmd::NewFriendOnline);

    CNetMessage df;
    df.command = Cmd::DeleteFriends;
    df.sender = "alice";
    df.names = {"bob", "nobody"};
    alice->Send(df);
    EXPECT_EQ(alice->Expect(Cmd::FriendsDeleted).recipient, "alice");
    alice->Send(Cmd::FriendsList, "alice");
    EXPECT_TRUE(alice->Expect(Cmd::FriendsListAnswer).names.empty());
    bob->Send(Cmd::FriendsList, "bob");
    EXPECT_EQ(Names(bob->Expect(Cmd::FriendsListAnswer)), std::vector<std::string>{"alice*"});
    bob->ExpectNoRecord();
}

} // namespace
