// Fair shares per address: what connections that have not logged in may
// hold, from one address and in all. Only 127.0.0.1 is exempt; the clients
// connect from other loopback addresses, as remote clients would.

#include "serverfixture.h"

#include "commands.h"
#include "server.h"
#include "wire.h"

#include <unistd.h>

namespace {

class Shares : public ServerTest
{
protected:
    void Start(std::size_t maxConnections, std::size_t pendingPerAddress,
               std::size_t preloginMemory = 16 << 20)
    {
        CServerLimits limits;
        limits.limitExempt = {"127.0.0.1/32"};
        limits.maxConnections = maxConnections;
        limits.maxPendingPerAddress = pendingPerAddress;
        limits.preloginMemory = preloginMemory;
        Restart(limits);
    }
    // `n` connections from `from` that say nothing; each is served (it
    // gets an answer to a registration without a name) before the next.
    void Crowd(std::vector<std::unique_ptr<CTestClient>>& into, const std::string& from, int n)
    {
        for (int i = 0; i < n; ++i) {
            into.push_back(Connect(from));
            into.back()->Send(Cmd::Register);
            into.back()->Expect(Cmd::Failure);
        }
    }
    // A registration with a name too long to be one, which is refused
    // once it is whole.
    static std::string LongRegistration()
    {
        CNetMessage msg;
        msg.command = Cmd::Register;
        msg.sender = std::string(60'000, 'a');
        return EncodeRecord(msg);
    }
};

TEST_F(Shares, OneAddressCannotCrowdOutTheOthers)
{
    Start(7, 4);
    std::vector<std::unique_ptr<CTestClient>> crowd;
    Crowd(crowd, "127.0.0.2", 4);
    // A fifth from there is past its share of connections not logged in.
    auto fifth = Connect("127.0.0.2");
    EXPECT_TRUE(fifth->WaitClosed());
    // Another address fills the server; a user from a third still gets in,
    // and the oldest of the address that holds the most goes for it.
    Crowd(crowd, "127.0.0.4", 3);
    auto alice = Connect("127.0.0.3");
    alice->Register("alice", "pw");
    EXPECT_TRUE(crowd[0]->WaitClosed());
    alice->Login("alice", "pw");
    // Logged in, alice is no longer one to make room: four more from her
    // address wait beside her.
    Crowd(crowd, "127.0.0.3", 4);
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer);
}

// A trusted proxy's connections take the shares of the clients their
// headers name, not one of the proxy's.
TEST_F(Shares, ProxiedConnectionsCountForTheClientInTheHeader)
{
    CServerLimits limits;
    limits.limitExempt = {"127.0.0.1/32"};
    limits.trustedProxies = {"127.0.0.2/32"};
    limits.maxPendingPerAddress = 2;
    Restart(limits);
    const auto via = [&](const char* client) {
        return std::make_unique<CTestClient>(m_server->Port(), false, "127.0.0.2", ProxyHeaderV1(client));
    };
    std::vector<std::unique_ptr<CTestClient>> crowd;
    for (const char* client : {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.1"}) {
        crowd.push_back(via(client));
        crowd.back()->Send(Cmd::Register);
        crowd.back()->Expect(Cmd::Failure);
    }
    EXPECT_TRUE(via("192.0.2.1")->WaitClosed()); // the third of its address
}

TEST_F(Shares, UnfinishedRecordsBeforeLoginAreBoundedTogether)
{
    Start(100, 64, 100'000);
    const std::string record = LongRegistration();
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (const auto& [from, bytes] :
         {std::pair{"127.0.0.2", 50'000}, {"127.0.0.3", 30'000}, {"127.0.0.4", 30'000}}) {
        clients.push_back(Connect(from));
        ASSERT_TRUE(clients.back()->SendRaw(record.substr(0, bytes)));
    }
    // 110,000 bytes: the one that holds the most goes, the others stay.
    EXPECT_TRUE(clients[0]->WaitClosed());
    for (int i = 1; i < 3; ++i) {
        ASSERT_TRUE(clients[i]->SendRaw(record.substr(30'000)));
        clients[i]->Expect(Cmd::Failure);
    }
}

TEST_F(Shares, MailboxGoesOutInPagesAsTheClientReads)
{
    auto alice = Online("alice");
    auto bob = Online("bob");
    bob->Send(Cmd::Logoff);
    EXPECT_TRUE(bob->WaitClosed());
    constexpr int kCount = 19; // pages of 8: two whole, one not
    for (int i = 0; i < kCount; ++i)
        alice->Send(MakeFontMessage("bob", "m" + std::to_string(i)));
    alice->Send(Cmd::BlockedList, "alice");
    alice->Expect(Cmd::BlockedListAnswer); // all stored
    bob = Connect();
    bob->Login("bob", "pw");
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(bob->Expect(Cmd::OfflineMessage).text, "m" + std::to_string(i));
    bob->Expect(Cmd::OfflineEnd);
    EXPECT_TRUE(bob->ExpectNoRecord()); // one "OL" for all of them
}

TEST_F(Shares, ClientThatTakesNothingIsClosedAfterTheWriteTimeout)
{
    CServerLimits limits;
    limits.maxQueuedBytes = 64u << 20; // the queue bound does not come into it
    limits.writeTimeout = 300ms;
    Restart(limits);
    auto alice = Online("alice");
    auto sleeper = Online("bob"); // never reads from here on
    const std::string text(60 * 1024, 'x');
    // About 18 MiB: more than the kernel buffers hold.
    for (int i = 0; i < 300; ++i)
        alice->Send(MakeFontMessage("bob", text));
    EXPECT_TRUE(Eventually([&] { return m_server->ConnectionCount() == 1; }, 20s));
}

// Unless told, the server serves no more connections than the memory holds
// when each holds all it may, whatever the open-file limit allows.
TEST_F(Shares, DefaultCapComesFromTheMemory)
{
    const CServerLimits& limits = m_server->Server().Limits();
    const auto memory = static_cast<std::size_t>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
    EXPECT_GE(limits.maxConnections, 1u);
    EXPECT_LE(limits.maxConnections, 65'536u);
    EXPECT_LE(limits.maxConnections, memory / (limits.maxQueuedBytes + kServerLimits.maxRecord));
}

// One sender, and the store in all, may hold so much waiting; past it an
// "M" to someone offline is refused, until a recipient takes what waited.
TEST_F(Shares, QuotasOfTheSenderAndOfTheStore)
{
    CServerLimits limits;
    limits.senderQuota = 100'000;
    Restart(limits);
    auto alice = Online("alice");
    for (const char* name : {"bob", "carol"}) {
        auto c = Online(name);
        c->Send(Cmd::Logoff);
        EXPECT_TRUE(c->WaitClosed());
    }
    const std::string text(60'000, 'x');
    alice->Send(MakeFontMessage("bob", text, "1"));
    ExpectReceipt(*alice, "1", "stored");
    alice->Send(MakeFontMessage("carol", text, "2"));
    const CNetMessage refused = alice->Expect(Cmd::Failure);
    EXPECT_EQ(refused.sender, "You have too many messages waiting to be delivered");
    EXPECT_EQ(refused.names, std::vector<std::string>{"2"});
    auto bob = Connect();
    bob->Login("bob", "pw");
    CNetMessage ack = bob->Expect(Cmd::OfflineMessage);
    bob->Expect(Cmd::OfflineEnd);
    ack.command = Cmd::OfflineAck;
    bob->Send(ack);
    bob->Send(Cmd::BlockedList, "bob");
    bob->Expect(Cmd::BlockedListAnswer); // the acknowledgement is served
    alice->Send(MakeFontMessage("carol", text, "2"));
    ExpectReceipt(*alice, "2", "stored");

    // The store holds 60,000 bytes now; with room for 100,000 in all,
    // alice's next goes too far, as would anyone's.
    limits.senderQuota = 0;
    limits.storeQuota = 100'000;
    Restart(limits);
    alice = Connect();
    alice->Login("alice", "pw");
    alice->Send(MakeFontMessage("carol", std::string(30'000, 'y'), "3"));
    ExpectReceipt(*alice, "3", "stored");
    alice->Send(MakeFontMessage("bob", std::string(30'000, 'y'), "4"));
    EXPECT_EQ(alice->Expect(Cmd::Failure).sender, "You have too many messages waiting to be delivered");
}

} // namespace
