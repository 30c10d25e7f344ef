#include "serverfixture.h"

#include "commands.h"

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

TEST_F(Messages, OfflineMessagesAreStoredInOrder)
{
    Connect()->Register("bob", "pw");
    auto alice = Online("alice");
    for (int i = 0; i < 3; ++i) {
        CNetMessage m = MakeFontMessage("bob", "message " + std::to_string(i));
        m.sender = "mallory";
        alice->Send(m);
    }
    alice->ExpectNoRecord();

    auto bob = Connect();
    const auto before = static_cast<int32_t>(std::time(nullptr));
    bob->Login("bob", "pw");
    std::vector<std::string> ids;
    for (int i = 0; i < 3; ++i) {
        const CNetMessage o = bob->Expect(Cmd::OfflineMessage);
        EXPECT_EQ(o.sender, "alice");
        EXPECT_EQ(o.recipient, "bob");
        EXPECT_EQ(o.text, "message " + std::to_string(i));
        // Stamped by the server when the "M" came, not the sender's time.
        EXPECT_GE(o.time, before - 60);
        EXPECT_LE(o.time, before + 60);
        ExpectSameFont(MakeFontMessage("bob", ""), o);
        ASSERT_EQ(o.names.size(), 1u);
        ids.push_back(o.names[0]);
    }
    bob->Expect(Cmd::OfflineEnd);
    bob->ExpectNoRecord();
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
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

TEST_F(Messages, MessageToSelfIsDelivered)
{
    auto alice = Online("alice");
    alice->Send(MakeFontMessage("alice", "note"));
    EXPECT_EQ(alice->Expect(Cmd::IncomingMessage).sender, "alice");
}

} // namespace
