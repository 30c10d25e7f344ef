// A store that is slow or away holds up only the requests that need it:
// everyone else is routed from memory meanwhile.

#include "serverfixture.h"

#include "commands.h"
#include "server.h"

namespace {

class Stalls : public ServerTest
{
};

TEST_F(Stalls, AWriteThatWaitsHoldsUpNobodyElse)
{
    Connect()->Register("carol", "pw");
    auto anna = Online("anna");
    auto bob = Online("bob");
    auto dave = Online("dave");
    // Their logins have read what waited for them: what comes next needs
    // no store.
    for (auto* c : {anna.get(), bob.get(), dave.get()}) {
        c->Send(Cmd::BlockedList);
        c->Expect(Cmd::BlockedListAnswer);
    }
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

} // namespace
