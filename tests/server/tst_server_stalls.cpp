// A store that is slow or away holds up only the requests that need it:
// everyone else is routed from memory meanwhile.

#include "serverfixture.h"

#include "commands.h"
#include "linkrelay.h"
#include "server.h"

namespace {

class Stalls : public ServerTest
{
protected:
    // Their logins have read what waited for them: what comes next needs
    // no store.
    static void LoginsRead(std::initializer_list<CTestClient*> clients)
    {
        for (CTestClient* c : clients) {
            c->Send(Cmd::BlockedList);
            c->Expect(Cmd::BlockedListAnswer);
        }
    }
};

TEST_F(Stalls, AWriteThatWaitsHoldsUpNobodyElse)
{
    Connect()->Register("carol", "pw");
    auto anna = Online("anna");
    auto bob = Online("bob");
    auto dave = Online("dave");
    LoginsRead({anna.get(), bob.get(), dave.get()});
    {
        const auto lock = m_db->HoldWrites();
        // anna's messages for carol wait for the store...
        for (const char* id : {"a1", "a2", "a3"})
            anna->Send(MakeFontMessage("carol", "for later", id));
        // ...while bob and dave talk, and anna's other requests that need no
        // write are answered.
        bob->Send(MakeFontMessage("dave", "are you there?", "b1"));
        EXPECT_EQ(dave->Expect(Cmd::IncomingMessage).text, "are you there?");
        ExpectReceipt(*bob, "b1", "delivered");
        dave->Send(MakeFontMessage("bob", "yes"));
        EXPECT_EQ(bob->Expect(Cmd::IncomingMessage).text, "yes");
        anna->Send(MakeFontMessage("bob", "and me", "a4"));
        EXPECT_EQ(bob->Expect(Cmd::IncomingMessage).text, "and me");
        ExpectReceipt(*anna, "a4", "delivered");
        EXPECT_TRUE(anna->ExpectNoRecord());
    }
    // Once the store is free again, each is kept and said so, in order.
    for (const char* id : {"a1", "a2", "a3"})
        ExpectReceipt(*anna, id, "stored");
}

// A network cut that sends no reset: the node's database calls get no answer
// and no error. Nothing that needs no store waits for them, and what needs
// one fails at its deadline, not when the kernel gives up on the connection.
TEST_F(Stalls, AFrozenDatabaseLinkHoldsUpOnlyWhatNeedsTheStore)
{
    if (!CTestDatabase::Postgres())
        GTEST_SKIP() << "SQLite is a file on this machine: there is no link to freeze";
    constexpr auto kStoreTimeout = 2s;
    CLinkRelay link(CLinkRelay::UnixSocket(CTestDatabase::Socket()));
    m_server = std::make_unique<CInProcessServer>(
        m_db->LocationAt(link.Port()), CPasswordHasher::Cost::Minimum, CServerLimits{}, false, kStoreTimeout);
    Connect()->Register("carol", "pw");
    auto anna = Online("anna");
    auto bob = Online("bob");
    auto dave = Online("dave");
    LoginsRead({anna.get(), bob.get(), dave.get()}); // the link freezes under dave's message

    link.Freeze();
    const auto frozen = std::chrono::steady_clock::now();
    dave->Send(MakeFontMessage("carol", "for later", "d1"));
    auto login = Connect();
    login->Send(Cmd::Login, "carol", "pw");
    anna->Send(MakeFontMessage("bob", "still there?", "a1"));
    EXPECT_EQ(bob->Expect(Cmd::IncomingMessage).text, "still there?");
    ExpectReceipt(*anna, "a1", "delivered");
    bob->Send(MakeFontMessage("anna", "yes", "b1"));
    EXPECT_EQ(anna->Expect(Cmd::IncomingMessage).text, "yes");
    ExpectReceipt(*bob, "b1", "delivered");
    EXPECT_LT(std::chrono::steady_clock::now() - frozen, kStoreTimeout)
        << "live messages waited for the store";

    // The message for carol is never said to be kept: its sender is closed
    // once the deadline passed, and so is the login, which is never told
    // its password was wrong.
    EXPECT_TRUE(dave->WaitClosed(kStoreTimeout + 3s));
    EXPECT_FALSE(dave->Receive(0ms));
    const auto left = frozen + 15s - std::chrono::steady_clock::now();
    EXPECT_TRUE(login->WaitClosed(std::chrono::duration_cast<std::chrono::milliseconds>(left)));
    while (const auto answer = login->Receive(0ms))
        EXPECT_NE(answer->command, Cmd::LoginFailed);

    // Once the frozen connections are cut, the same node serves logins again.
    link.Cut();
    Connect()->Login("carol", "pw");
    m_server.reset(); // while the link is there for its last writes
}

} // namespace
