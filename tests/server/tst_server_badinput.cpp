#include "serverfixture.h"

#include "commands.h"
#include "proxyheader.h"
#include "server.h"
#include "wire.h"

#include <random>
#include <tuple>

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

// Behind a trusted proxy (127.0.0.1 here) a connection must begin with a
// whole, valid header, else it goes without an answer; a header from anyone
// else (127.0.0.2) is bad input. Each is logged once.
TEST_F(BadInput, ProxyHeadersOnlyFromTrustedProxiesAndOnlyValid)
{
    CServerLimits limits;
    limits.trustedProxies = {"127.0.0.1/32"};
    limits.recordTimeout = 300ms;
    Restart(limits);
    const std::string login = EncodeRecord(MakeRecord(Cmd::Login, "alice", "pw"));
    const std::string v2 = ProxyHeaderV2("192.0.2.1");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"127.0.0.1", login},                                            // no header
        {"127.0.0.1", "PROXY TCP5 192.0.2.1 127.0.0.1 1 2\r\n" + login}, // wrong bytes
        {"127.0.0.1", "PROXY TCP4 192.0.2.1 127.0.0.1 99999 2\r\n"},
        {"127.0.0.1", "PROXY UNKNOWN " + std::string(100, 'x') + "\r\n"}, // too long
        {"127.0.0.1", v2.substr(0, 12) + "\x31" + v2.substr(13)},         // version 3
        {"127.0.0.1", v2.substr(0, 14) + "\xFF\xFF"},                     // too long
        {"127.0.0.1", "PROXY TCP4 192.0.2.1"},                            // never whole
        {"127.0.0.2", ProxyHeaderV1("192.0.2.1") + login},
        {"127.0.0.2", v2 + login},
    };
    ::testing::internal::CaptureStderr();
    for (const auto& [from, bytes] : cases) {
        auto bad = Connect(from);
        bad->SendRaw(bytes);
        EXPECT_TRUE(bad->WaitClosed()) << bytes;
        EXPECT_FALSE(bad->Receive(0ms)) << bytes;
    }
    std::unique_ptr<CTestClient> alice = Connect("127.0.0.1");
    alice->SendRaw(ProxyHeaderV1("192.0.2.1"));
    alice->Register("alice", "pw");
    const std::string log = ::testing::internal::GetCapturedStderr();
    const auto count = [&log](const std::string& text) {
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("invalid PROXY header from trusted proxy 127.0.0.1:"), 7u) << log;
    EXPECT_EQ(count("PROXY header from a peer that is not a trusted proxy"), 2u) << log;
    EXPECT_EQ(count("registered alice from 192.0.2.1:40000"), 1u) << log;
}

TEST(ProxyHeader, ParsesBothFormsAndNamesTheClient)
{
    const std::string v6 = ProxyHeaderV2("2001:db8::5", 443, std::string("\x01\x00\x02h2", 5));
    const std::string local("\r\n\r\n\0\r\nQUIT\n\x20\0\0\0", 16); // LOCAL: a check of the proxy's
    const std::vector<std::tuple<std::string, CProxyHeader::CStatus, std::size_t, std::string>> cases = {
        {ProxyHeaderV1("192.0.2.1", 5), CProxyHeader::CStatus::Complete, 39, "192.0.2.1:5"},
        {"PROXY TCP6 2001:db8::1 ::1 65535 1\r\nL", CProxyHeader::CStatus::Complete, 36, "2001:db8::1:65535"},
        {"PROXY UNKNOWN ffff\r\n", CProxyHeader::CStatus::Complete, 20, ""},
        {v6, CProxyHeader::CStatus::Complete, v6.size(), "2001:db8::5:443"},
        {local, CProxyHeader::CStatus::Complete, 16, ""},
        {"PROX", CProxyHeader::CStatus::Incomplete, 5, ""},
        {v6.substr(0, 20), CProxyHeader::CStatus::Incomplete, v6.size(), ""},
        {"PROXY TCP4 192.0.2.1 ::1 1 2\r\n", CProxyHeader::CStatus::Invalid, 0, ""},
        {"PROXY TCP4 192.0.2.1 127.0.0.1 01 2\r\n", CProxyHeader::CStatus::Invalid, 0, ""},
    };
    for (const auto& [bytes, status, length, source] : cases) {
        const CProxyHeader header = ParseProxyHeader(bytes);
        EXPECT_EQ(header.status, status) << bytes;
        EXPECT_EQ(header.length, length) << bytes;
        EXPECT_EQ(header.source, source) << bytes;
    }
}

} // namespace
