#include "serverfixture.h"

#include "commands.h"
#include "server.h"
#include "sqlitedb.h"
#include "wire.h"

#include <ctime>

namespace {

class Messages : public ServerTest
{
};

TEST_F(Messages, LiveMessageKeepsEveryFontField)
{
    auto alice = Online("alice");
    auto bob = Online("bob"); // not a friend: messages need no friendship
    CNetMessage m = MakeFontMessage("bob", std::string("caf\xC3\xA9 \0 bytes\r\n", 15));
    m.sender = "mallory"; // never trusted
    alice->Send(m);
    const CNetMessage sm = bob->Expect(Cmd::IncomingMessage);
    EXPECT_EQ(sm.sender, "alice");
    EXPECT_EQ(sm.recipient, "bob");
    EXPECT_EQ(sm.text, m.text);
    EXPECT_EQ(sm.time, m.time);
    ExpectSameFont(m, sm);
    alice->ExpectNoRecord();
}

TEST_F(Messages, UnknownRecipientFails)
{
    auto alice = Online("alice");
    alice->Send(MakeFontMessage("ghost", "boo"));
    EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "User ghost does not exist");
}

TEST_F(Messages, AMessageWithAnIdIsAnsweredEveryTimeAndKeptOnce)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    Connect()->Register("carol", "pw");
    auto dave = Online("dave");
    dave->Send(Cmd::BlockPermanently, "dave", "alice");
    dave->Send(Cmd::BlockedList, "dave");
    dave->Expect(Cmd::BlockedListAnswer);

    // Each is sent twice, the second time on a new connection, as a client
    // that lost the first receipt with its connection does.
    for (int copy = 0; copy < 2; ++copy) {
        if (copy == 1) {
            alice = Connect();
            alice->Login("alice", "pw");
        }
        alice->Send(MakeFontMessage("bob", "live", "b-1"));
        ExpectReceipt(*alice, "b-1", "delivered");
        alice->Send(MakeFontMessage("carol", "kept", "c-1"));
        ExpectReceipt(*alice, "c-1", "stored");
        alice->Send(MakeFontMessage("dave", "blocked", "d-1")); // looks like absence
        ExpectReceipt(*alice, "d-1", "stored");
        alice->Send(MakeFontMessage("ghost", "nobody", "g-1"));
        const CNetMessage failure = alice->Expect(Cmd::Failure);
        EXPECT_EQ(failure.sender, "User ghost does not exist");
        EXPECT_EQ(failure.names, std::vector<std::string>{"g-1"});
    }
    const CNetMessage sm = bob->Expect(Cmd::IncomingMessage);
    EXPECT_EQ(sm.names, std::vector<std::string>{"b-1"});
    EXPECT_TRUE(bob->ExpectNoRecord());
    EXPECT_TRUE(dave->ExpectNoRecord());
    for (const std::string& bad : {std::string(65, 'x'), std::string("with space")}) {
        alice->Send(MakeFontMessage("bob", "bad id", bad));
        EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "Invalid message id");
    }

    // The store knows the id across a restart, when memory does not.
    alice.reset();
    bob.reset();
    dave.reset();
    Restart();
    alice = Connect();
    alice->Login("alice", "pw");
    alice->Send(MakeFontMessage("carol", "kept", "c-1"));
    ExpectReceipt(*alice, "c-1", "stored");
    auto carol = Connect();
    carol->Login("carol", "pw");
    const CNetMessage o = carol->Expect(Cmd::OfflineMessage);
    EXPECT_EQ(o.names.size(), 2u);
    EXPECT_EQ(o.names.back(), "c-1");
    ExpectSameFont(MakeFontMessage("carol", ""), o);
    carol->Expect(Cmd::OfflineEnd);
    EXPECT_TRUE(carol->ExpectNoRecord());
}

TEST_F(Messages, OfflineMessagesAreStoredInOrder)
{
    // One burst, so that the server stores it in one turn, acknowledged in
    // one burst too.
    constexpr int kCount = 100;
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    std::string burst;
    for (int i = 0; i < kCount; ++i) {
        CNetMessage m = MakeFontMessage("bob", "message " + std::to_string(i));
        m.sender = "mallory";
        EncodeRecord(m, burst);
    }
    CNetMessage list;
    list.command = Cmd::BlockedList;
    EncodeRecord(list, burst);
    ASSERT_TRUE(alice->SendRaw(burst));
    // An answer after them comes only once they are committed.
    alice->Expect(Cmd::BlockedListAnswer);
    EXPECT_EQ(m_db->QueryInt("SELECT count(*) FROM offline_message"), kCount);

    std::string acks;
    {
        auto bob = Connect();
        const auto before = static_cast<int32_t>(std::time(nullptr));
        bob->Login("bob", "pw");
        int64_t lastId = 0;
        for (int i = 0; i < kCount; ++i) {
            CNetMessage o = bob->Expect(Cmd::OfflineMessage);
            EXPECT_EQ(o.sender, "alice");
            EXPECT_EQ(o.recipient, "bob");
            EXPECT_EQ(o.text, "message " + std::to_string(i));
            // Stamped by the server when the "M" came, not the sender's time.
            EXPECT_GE(o.time, before - 60);
            EXPECT_LE(o.time, before + 60);
            ExpectSameFont(MakeFontMessage("bob", ""), o);
            ASSERT_EQ(o.names.size(), 1u);
            EXPECT_GT(std::stoll(o.names[0]), lastId);
            lastId = std::stoll(o.names[0]);
            o.command = Cmd::OfflineAck;
            o.sender = "bob";
            EncodeRecord(o, acks);
        }
        bob->Expect(Cmd::OfflineEnd);
        bob->ExpectNoRecord();
        ASSERT_TRUE(bob->SendRaw(acks));
        bob->Send(Cmd::Logoff, "bob", "bob");
        EXPECT_TRUE(bob->WaitClosed());
    }
    auto bob = Connect();
    bob->Login("bob", "pw");
    bob->ExpectNoRecord();
}

TEST_F(Messages, AcknowledgedAreDeletedOthersComeBack)
{
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    alice->Send(MakeFontMessage("bob", "first"));
    alice->Send(MakeFontMessage("bob", "second"));
    alice->ExpectNoRecord();
    {
        auto bob = Connect();
        bob->Login("bob", "pw");
        CNetMessage first = bob->Expect(Cmd::OfflineMessage);
        bob->Expect(Cmd::OfflineMessage);
        bob->Expect(Cmd::OfflineEnd);
        // The client echoes the "O" whole, with its own name as sender.
        first.command = Cmd::OfflineAck;
        first.sender = "bob";
        bob->Send(first);
        bob->Send(Cmd::Logoff, "bob", "bob");
        EXPECT_TRUE(bob->WaitClosed());
    }
    auto bob = Connect();
    bob->Login("bob", "pw");
    EXPECT_EQ(bob->Expect(Cmd::OfflineMessage).text, "second");
    bob->Expect(Cmd::OfflineEnd);
}

TEST_F(Messages, AcknowledgingSomeoneElsesMessageDeletesNothing)
{
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    alice->Send(MakeFontMessage("bob", "for bob"));
    alice->ExpectNoRecord();
    std::string id;
    {
        auto bob = Connect();
        bob->Login("bob", "pw");
        id = bob->Expect(Cmd::OfflineMessage).names.at(0);
    }
    CNetMessage ack;
    ack.command = Cmd::OfflineAck;
    ack.names = {id};
    alice->Send(ack);
    alice->ExpectNoRecord();
    auto bob = Connect();
    bob->Login("bob", "pw");
    EXPECT_EQ(bob->Expect(Cmd::OfflineMessage).text, "for bob");
}

TEST_F(Messages, OfflineMessagesSurviveARestart)
{
    Connect()->Register("bob", "pw");
    {
        auto alice = Online("alice");
        alice->Send(MakeFontMessage("bob", "kept"));
        alice->ExpectNoRecord();
    }
    Restart();
    auto bob = Connect();
    bob->Login("bob", "pw");
    const CNetMessage o = bob->Expect(Cmd::OfflineMessage);
    EXPECT_EQ(o.text, "kept");
    ExpectSameFont(MakeFontMessage("bob", ""), o);
    bob->Expect(Cmd::OfflineEnd);
}

TEST_F(Messages, OfflineQuotaCountsMessagesAndBytes)
{
    CServerLimits limits;
    limits.maxOfflineMessages = 3;
    limits.maxOfflineBytes = 100; // a text of 80 bytes and its font name of 11
    Restart(limits);
    Connect()->Register("bob", "pw");
    Connect()->Register("carol", "pw");
    auto alice = Online("alice");
    // One burst: the fourth is refused while the first three still wait for
    // their commit.
    std::string burst;
    for (int i = 0; i < 4; ++i)
        EncodeRecord(MakeFontMessage("bob", "m" + std::to_string(i)), burst);
    EncodeRecord(MakeRecord(Cmd::BlockedList), burst);
    ASSERT_TRUE(alice->SendRaw(burst));
    EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "User bob cannot receive more offline messages");
    alice->Expect(Cmd::BlockedListAnswer);

    // Deleting one makes room for one.
    {
        auto bob = Connect();
        bob->Login("bob", "pw");
        CNetMessage first = bob->Expect(Cmd::OfflineMessage);
        first.command = Cmd::OfflineAck;
        bob->Send(first);
        bob->Send(Cmd::Logoff);
        EXPECT_TRUE(bob->WaitClosed());
    }
    alice->Send(MakeFontMessage("bob", "m4"));
    alice->Send(MakeRecord(Cmd::BlockedList));
    alice->Expect(Cmd::BlockedListAnswer);
    alice->Send(MakeFontMessage("bob", "m5"));
    alice->Expect(Cmd::Failure);

    alice->Send(MakeFontMessage("carol", std::string(80, 'x')));
    alice->Send(MakeFontMessage("carol", ""));
    EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "User carol cannot receive more offline messages");
}

TEST_F(Messages, MessageToSelfIsDelivered)
{
    auto alice = Online("alice");
    alice->Send(MakeFontMessage("alice", "note"));
    EXPECT_EQ(alice->Expect(Cmd::IncomingMessage).sender, "alice");
}

} // namespace
