#include "serverfixture.h"

#include "commands.h"

namespace {

class Presence : public ServerTest
{
protected:
    // `owner` gets `name` in their friends list (one-way, via "AFJ").
    void MakeFriend(CTestClient& owner, const std::string& ownerName, CTestClient& other,
                    const std::string& name)
    {
        owner.Send(Cmd::AddFriend, ownerName, name);
        owner.Expect(Cmd::FriendRequestSent);
        other.Expect(Cmd::FriendRequest);
        other.Send(Cmd::JustAccept, name, ownerName, "");
        owner.Expect(Cmd::NewFriendOnline);
    }
};

TEST_F(Presence, OnlineFriendsSeeLoginAndLogoff)
{
    auto alice = Online("alice");
    auto carol = Online("carol"); // not a friend of bob's
    {
        auto bob = Online("bob");
        MakeFriend(*alice, "alice", *bob, "bob");
        bob->Send(Cmd::Logoff, "bob", "bob");
        EXPECT_TRUE(bob->WaitClosed());
    }
    EXPECT_EQ(alice->Expect(Cmd::FriendOffline).sender, "bob");

    auto bob = Connect();
    bob->Login("bob", "pw");
    EXPECT_EQ(alice->Expect(Cmd::FriendOnline).sender, "bob");
    // The closing of the connection counts like "X".
    bob.reset();
    EXPECT_EQ(alice->Expect(Cmd::FriendOffline).sender, "bob");
    carol->ExpectNoRecord();
    alice->ExpectNoRecord();
}

TEST_F(Presence, OnlyFriendsWhoListTheUserAreTold)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    MakeFriend(*alice, "alice", *bob, "bob"); // alice lists bob; bob does not list alice
    alice.reset();
    bob->ExpectNoRecord();
    auto again = Connect();
    again->Login("alice", "pw");
    again->ExpectNoRecord();
    bob->ExpectNoRecord();
}

TEST_F(Presence, BlockedUserIsNotTold)
{
    auto alice = Online("alice");
    auto carol = Online("carol");
    auto bob = Online("bob");
    MakeFriend(*alice, "alice", *bob, "bob");
    MakeFriend(*carol, "carol", *bob, "bob");
    bob->Send(Cmd::BlockPermanently, "bob", "alice");
    bob->Send(Cmd::BlockUntilLogoff, "bob", "carol");
    bob->Send(Cmd::BlockedList, "bob");
    bob->Expect(Cmd::BlockedListAnswer);
    bob->Send(Cmd::Logoff, "bob", "bob");
    EXPECT_TRUE(bob->WaitClosed());
    alice->ExpectNoRecord();
    carol->ExpectNoRecord();

    // The session block ended with the log-off; the permanent one did not.
    bob = Connect();
    bob->Login("bob", "pw");
    EXPECT_EQ(carol->Expect(Cmd::FriendOnline).sender, "bob");
    alice->ExpectNoRecord();
    alice->Send(Cmd::FriendsList, "alice");
    EXPECT_EQ(alice->Expect(Cmd::FriendsListAnswer).names, std::vector<std::string>{"bob"});
    carol->Send(Cmd::FriendsList, "carol");
    EXPECT_EQ(carol->Expect(Cmd::FriendsListAnswer).names, std::vector<std::string>{"bob*"});
}

TEST_F(Presence, BlockingTheWatcherDoesNotHideTheWatcher)
{
    // alice lists bob and blocks him: bob is not the blocker, so alice still
    // sees him come and go.
    auto alice = Online("alice");
    {
        auto bob = Online("bob");
        MakeFriend(*alice, "alice", *bob, "bob");
        alice->Send(Cmd::BlockPermanently, "alice", "bob");
    }
    EXPECT_EQ(alice->Expect(Cmd::FriendOffline).sender, "bob");
}

} // namespace
