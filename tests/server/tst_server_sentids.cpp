// The server's memory of message ids: what a resend finds, and how long.

#include "sentids.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>
#include <string>

namespace {

using namespace std::chrono_literals;

// The tables' memory: blocks of every size apart from each other, a block
// given back used again for its size, and sizes past the arena's still served.
TEST(SentIds, TheSlotArenaKeepsBlocksApartAndReusesThem)
{
    std::vector<std::pair<char*, std::size_t>> held;
    for (int round = 0; round < 3; ++round)
        for (std::size_t size = SlotArena::kMinBytes; size <= 2 * SlotArena::kMaxBytes; size *= 2) {
            auto* block = static_cast<char*>(SlotArena::Allocate(size));
            ASSERT_NE(block, nullptr);
            std::memset(block, round + 1, size);
            for (const auto& [other, length] : held)
                ASSERT_TRUE(block + size <= other || other + length <= block) << size;
            held.emplace_back(block, size);
        }
    for (const auto& [block, length] : held)
        EXPECT_EQ(block[length - 1], block[0]); // nothing overwrote another's
    auto [first, size] = held.front();
    SlotArena::Free(first, size);
    EXPECT_EQ(SlotArena::Allocate(size), first);
    for (const auto& [block, length] : held)
        SlotArena::Free(block, length);
}

TEST(SentIds, ResendsFindTheFirstOutcomeUntilTheyExpire)
{
    CSentIds ids;
    const auto t0 = CSentIds::Clock::now();
    EXPECT_EQ(ids.Find("anna", "a1", t0), nullptr);
    ids.Remember("anna", "a1", "stored", t0);
    EXPECT_STREQ(ids.Find("anna", "a1", t0), "stored");
    EXPECT_EQ(ids.Find("bob", "a1", t0), nullptr); // per sender
    // A new outcome replaces the old; Add keeps what is known.
    ids.Remember("anna", "a1", "delivered", t0);
    EXPECT_STREQ(ids.Add("anna", "a1", "stored", t0), "delivered");
    EXPECT_EQ(ids.Add("anna", "a2", "stored", t0), nullptr);
    EXPECT_STREQ(ids.Find("anna", "a2", t0), "stored");

    // Kept at least kKeepFor: the current generation moves on, its ids stay
    // one more round, then go.
    const auto later = t0 + CSentIds::kKeepFor + 1s;
    ids.Remember("anna", "b1", "delivered", later);
    EXPECT_STREQ(ids.Find("anna", "a1", later), "delivered");
    EXPECT_STREQ(ids.Find("anna", "b1", later), "delivered");
    const auto muchLater = later + CSentIds::kKeepFor + 1s;
    ids.Remember("anna", "c1", "delivered", muchLater);
    EXPECT_EQ(ids.Find("anna", "a1", muchLater), nullptr);
    EXPECT_STREQ(ids.Find("anna", "b1", muchLater), "delivered");
    // A sender silent for two rounds is forgotten whole.
    EXPECT_EQ(ids.Find("anna", "c1", muchLater + 2 * CSentIds::kKeepFor), nullptr);
    EXPECT_EQ(ids.SenderCount(), 0u);
}

// The ids of the sender's current connection are noted without a look-up,
// and looked up once the sender logged in again; more of them than a
// generation holds, so that both are looked up.
TEST(SentIds, TheIdsOfAConnectionAreLookedUpAfterTheNextLogin)
{
    CSentIds ids;
    const auto now = CSentIds::Clock::now();
    const int total = static_cast<int>(CSentIds::kMaxPerSender) * 3 / 2;
    for (int i = 0; i < total; ++i)
        EXPECT_EQ(ids.Note("anna", "id-" + std::to_string(i), "delivered", now), nullptr);
    ids.Remember("anna", "id-1", "stored", now);
    EXPECT_EQ(ids.Note("anna", "id-0", "delivered", now), nullptr); // a client never repeats one
    EXPECT_EQ(ids.FindEarlier("anna", "id-1", now), nullptr);
    EXPECT_EQ(ids.Note("bob", "id-2", "delivered", now), nullptr);

    ids.NewConnection("anna");
    EXPECT_STREQ(ids.FindEarlier("anna", "id-1", now), "stored");
    EXPECT_STREQ(ids.Note("anna", "id-0", "stored", now), "delivered");
    int known = 0;
    for (int i = 0; i < total; ++i)
        known += ids.FindEarlier("anna", "id-" + std::to_string(i), now) != nullptr;
    EXPECT_EQ(known, total);
    // The new connection's own, and bob's, wait for their next login.
    EXPECT_EQ(ids.Note("anna", "new", "delivered", now), nullptr);
    EXPECT_STREQ(ids.Note("anna", "new", "delivered", now), "delivered");
    EXPECT_EQ(ids.FindEarlier("bob", "id-2", now), nullptr);
    EXPECT_STREQ(ids.Find("bob", "id-2", now), "delivered");
}

TEST(SentIds, ASenderKeepsAtLeastTheLastTenThousandAndAtMostTwice)
{
    CSentIds ids;
    const auto now = CSentIds::Clock::now();
    const int total = 3 * static_cast<int>(CSentIds::kMaxPerSender);
    for (int i = 0; i < total; ++i)
        ids.Remember("anna", "id-" + std::to_string(i), i % 2 ? "stored" : "delivered", now);
    int known = 0;
    for (int i = 0; i < total; ++i)
        known += ids.Find("anna", "id-" + std::to_string(i), now) != nullptr;
    EXPECT_GE(known, static_cast<int>(CSentIds::kMaxPerSender));
    EXPECT_LE(known, 2 * static_cast<int>(CSentIds::kMaxPerSender));
    // The newest are among them, each with its own outcome.
    EXPECT_STREQ(ids.Find("anna", "id-" + std::to_string(total - 1), now), "stored");
    EXPECT_STREQ(ids.Find("anna", "id-" + std::to_string(total - 2), now), "delivered");
}

TEST(SentIds, AnIdMovedToTheCurrentGenerationLeavesTheOthersFound)
{
    CSentIds ids;
    const auto now = CSentIds::Clock::now();
    const int total = static_cast<int>(CSentIds::kMaxPerSender) * 3 / 2;
    for (int i = 0; i < total; ++i)
        ids.Remember("anna", "id-" + std::to_string(i), "delivered", now);
    // From the previous generation into the current one, with its new
    // outcome; every other id is still there.
    for (int i = 0; i < 200; i += 7)
        ids.Remember("anna", "id-" + std::to_string(i), "stored", now);
    for (int i = 0; i < total; ++i)
        EXPECT_STREQ(ids.Find("anna", "id-" + std::to_string(i), now),
                     i < 200 && i % 7 == 0 ? "stored" : "delivered")
            << i;
}

} // namespace
