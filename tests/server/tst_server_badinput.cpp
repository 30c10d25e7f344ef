#include "serverfixture.h"

#include "commands.h"
#include "wire.h"

#include <random>

namespace {

class BadInput : public ServerTest
{
protected:
    // Two users online who can still talk after the bad connection is gone.
    void ExpectOthersUnaffected(CTestClient& alice, CTestClient& bob)
    {
        alice.Send(MakeFontMessage("bob", "still here"));
        EXPECT_EQ(bob.Expect(Cmd::IncomingMessage).text, "still here");
        Connect()->Login("carol", "pw");
    }
};

TEST_F(BadInput, HugeLengthPrefixClosesOnlyThatConnection)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    Connect()->Register("carol", "pw");
    auto bad = Connect();
    // sender: 0xFF, 0xFFFF, then a 32-bit length of 4 GiB - 1.
    ASSERT_TRUE(bad->SendRaw(std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 7)));
    EXPECT_TRUE(bad->WaitClosed());
    ExpectOthersUnaffected(*alice, *bob);
}

TEST_F(BadInput, TooManyNamesClosesTheConnection)
{
    auto alice = Online("alice");
    auto bad = Connect();
    CNetMessage m;
    m.command = Cmd::DeleteFriends;
    std::string bytes = EncodeRecord(m);
    // Replace the empty count by 0xFFFF, 100,000 (over the 10,000 limit).
    bytes.resize(bytes.size() - 2);
    bytes += std::string("\xFF\xFF\xA0\x86\x01\x00", 6);
    bad->SendRaw(bytes);
    EXPECT_TRUE(bad->WaitClosed());
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
}

TEST_F(BadInput, RecordOverOneMebibyteClosesTheConnection)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    Connect()->Register("carol", "pw");
    auto bad = Connect();
    CNetMessage m;
    m.command = Cmd::DeleteFriends;
    for (int i = 0; i < 40; ++i) // 40 strings of 50 KiB: about 2 MiB
        m.names.push_back(std::string(50 * 1024, 'n'));
    bad->SendRaw(EncodeRecord(m)); // the server may close before it is all sent
    EXPECT_TRUE(bad->WaitClosed());
    ExpectOthersUnaffected(*alice, *bob);
}

TEST_F(BadInput, GarbageDoesNotHurtOthers)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    Connect()->Register("carol", "pw");
    std::mt19937 random(42);
    for (int round = 0; round < 5; ++round) {
        auto bad = Connect();
        std::string bytes(64 * 1024, '\0');
        for (auto& b : bytes)
            b = static_cast<char>(random());
        bad->SendRaw(bytes);
        bad->Receive(50ms);
    }
    ExpectOthersUnaffected(*alice, *bob);
}

TEST_F(BadInput, RecordsSplitAndBatchedAreAllServed)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    std::string bytes;
    for (int i = 0; i < 20; ++i)
        bytes += EncodeRecord(MakeFontMessage("bob", "batched " + std::to_string(i)));
    ASSERT_TRUE(alice->SendRaw(bytes));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(bob->Expect(Cmd::IncomingMessage).text, "batched " + std::to_string(i));

    // One record, one byte per segment.
    const std::string one = EncodeRecord(MakeFontMessage("bob", "dribbled"));
    for (char c : one) {
        ASSERT_TRUE(alice->SendRaw(std::string(1, c)));
        std::this_thread::sleep_for(1ms);
    }
    const CNetMessage sm = bob->Expect(Cmd::IncomingMessage);
    EXPECT_EQ(sm.text, "dribbled");
    ExpectSameFont(MakeFontMessage("bob", ""), sm);
}

TEST_F(BadInput, ClientThatDoesNotReadIsCutOff)
{
    auto alice = Online("alice");
    auto carol = Online("carol");
    auto sleeper = Online("bob"); // never reads from here on
    const std::string text(60 * 1024, 'x');
    // About 30 MiB: more than the kernel buffers plus the 1 MiB queue.
    for (int i = 0; i < 500 && sleeper->IsConnected(); ++i)
        alice->Send(MakeFontMessage("bob", text));
    alice->Send(MakeFontMessage("carol", "not stalled"));
    EXPECT_EQ(carol->Expect(Cmd::IncomingMessage, 10s).text, "not stalled");
    // The server has dropped bob: the stream ends after what was buffered.
    EXPECT_TRUE(sleeper->WaitClosed(10s));
}

TEST_F(BadInput, UnfinishedRecordBeforeLoginIsLimited)
{
    auto alice = Online("alice");
    auto bad = Connect();
    // A sender of 60,000 bytes, then the start of a recipient as long: fine
    // after login, far more than a login needs before it.
    const std::string length("\xFF\x60\xEA", 3);
    ASSERT_TRUE(bad->SendRaw(length + std::string(60'000, 'a') + length + std::string(10'000, 'b')));
    EXPECT_TRUE(bad->WaitClosed());
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
}

TEST_F(BadInput, Utf16TextIsLimitedAsDecoded)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    // 32,768 characters of U+4E2D: 65,536 bytes on the wire, 98,304 as UTF-8.
    std::string wide("\xFF\xFE\xFF\xFF\x00\x80", 6);
    for (int i = 0; i < 32'768; ++i)
        wide += "\x2D\x4E";
    CNetMessage m;
    m.command = Cmd::Message;
    m.recipient = "bob";
    std::string bytes = EncodeRecord(m);
    bytes.replace(5, 1, wide); // the empty text after "" and "bob"
    ASSERT_TRUE(alice->SendRaw(bytes));
    EXPECT_TRUE(alice->WaitClosed());
    bob->ExpectNoRecord();
}

} // namespace
