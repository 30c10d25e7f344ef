#pragma once

#include "slotarena.h"

#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// The monotonic clock as of the kernel's last tick, a few milliseconds
// behind at most, read in a fraction of the time the exact one takes.
struct CCoarseClock
{
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<CCoarseClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept
    {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};

// What became of the messages each sender's client sent with an id, so that
// a resend (after a lost connection, before its receipt came) is answered
// again rather than delivered twice. Each sender's ids are kept at least
// kKeepFor, or until kMaxPerSender newer ones came, whichever is sooner, and
// at most twice that: past that, the recipient's client drops the copy it
// already has.
//
// Each sender's ids are in two generations: new ones go into the current
// one, which becomes the previous one when it is full or kKeepFor old; the
// previous one is dropped then. An id is kept as two unrelated 64-bit hashes
// of it, in a table of its own without a copy of the string: noting one is
// on the path of every message, so it must cost next to nothing, and a false
// match is as likely as guessing 128 random bits.
//
// A client resends only after a lost connection, never on the connection
// that sent the id first. So the ids a sender's current connection sends are
// noted (Note) in a plain list, which costs no look-up, and they are looked
// up only once the sender has logged in again (NewConnection): the first
// look-up of a generation then puts its list into its table. Looking an id
// up in a table of the sender's is a cache miss on the path of every
// message, the largest part of what receipts cost, and noting it in the
// list is not.
//
// Only what this node delivered or stored since it started is known here;
// stored messages also carry their id in the store, which refuses a second
// copy itself.
class CSentIds
{
public:
    // Ids are kept for minutes, and the clock is read for every message.
    using Clock = CCoarseClock;

    static constexpr auto kKeepFor = std::chrono::minutes(10);
    static constexpr std::size_t kMaxPerSender = 10'000;

    // The receipt text ("delivered" or "stored") of `id` from `sender`, or
    // null when it is not known.
    const char* Find(const std::string& sender, const std::string& id, Clock::time_point now = Clock::now());
    // Remembers `id` with `outcome` unless it is known already: then its
    // outcome, and nothing changes; else null.
    const char* Add(const std::string& sender, const std::string& id, const char* outcome,
                    Clock::time_point now = Clock::now());
    // `outcome` must be a string that lives for ever (a literal). The newest
    // outcome of an id is the one found.
    void Remember(const std::string& sender, const std::string& id, const char* outcome,
                  Clock::time_point now = Clock::now());

    // The sender logged in again: what it sent so far may come again.
    void NewConnection(const std::string& sender);
    // For an id the sender's current connection sent: its outcome when it
    // came on an earlier connection, else null, and the id is remembered
    // with `outcome` (as Add, without looking at the ids of this
    // connection).
    const char* Note(const std::string& sender, const std::string& id, const char* outcome,
                     Clock::time_point now = Clock::now());
    // As Find, among the ids that came on the sender's earlier connections.
    const char* FindEarlier(const std::string& sender, const std::string& id, Clock::time_point now = Clock::now());

    std::size_t SenderCount() const { return m_senders.size(); }

private:
    // In `b` bit 0 is always set (0 marks an empty slot) and bits 1 and 2
    // are clear: in a table they hold the outcome's index.
    struct CDigest
    {
        uint64_t a = 0;
        uint64_t b = 0;
    };
    static CDigest Digest(const std::string& id);
    static constexpr uint64_t kOutcomeBits = 6;
    // The outcome texts by index; at most four.
    static uint64_t OutcomeIndex(const char* outcome);
    static const char* Outcome(const CDigest& slot);

    // An open-addressing table of digests and their outcomes, at most three
    // quarters full, 16 bytes a slot, and a list of those appended since the
    // last look-up, which the next one puts into the table.
    class CGeneration
    {
    public:
        explicit CGeneration(uint32_t connection = 0) : m_connection(connection) {}
        // The sender's connection that this generation began in.
        uint32_t Connection() const { return m_connection; }
        const char* Find(const CDigest& key);
        // The outcome kept for `key` already, or null when it was added.
        const char* Add(const CDigest& key, const char* outcome);
        void Set(const CDigest& key, const char* outcome);
        void Erase(const CDigest& key);
        // Adds `key` without looking whether it is there: a later outcome
        // of it replaces an earlier one.
        void Append(const CDigest& key, const char* outcome);
        std::size_t Size() const { return m_count + m_appended.size(); }
        bool Empty() const { return Size() == 0; }

    private:
        static bool Holds(const CDigest& slot, const CDigest& key)
        {
            return slot.a == key.a && (slot.b & ~kOutcomeBits) == key.b;
        }
        // The slot of `key`: the one that holds it, or the empty one where it
        // goes.
        std::size_t Slot(const CDigest& key) const;
        // Puts the appended keys into the table.
        void Index();
        void Grow(std::size_t slots);

        std::vector<CDigest, SlotArena::CAllocator<CDigest>> m_slots;
        std::size_t m_count = 0;
        std::vector<CDigest, SlotArena::CAllocator<CDigest>> m_appended;
        uint32_t m_connection;
    };
    struct CSender
    {
        CGeneration current;
        CGeneration previous;
        Clock::time_point currentSince;
        uint32_t connection = 0;
    };

    // The outcome of `key` in the sender's generations; with `earlierOnly`,
    // only in those begun on an earlier connection of the sender's.
    static const char* Lookup(CSender& entry, const CDigest& key, bool earlierOnly);
    // Add, or with `earlierOnly` Note.
    const char* Insert(const std::string& sender, const std::string& id, const char* outcome, Clock::time_point now,
                       bool earlierOnly);
    // The sender's entry, made when missing and aged; null when `create`
    // is not set and the sender has none (or its ids all expired).
    CSender* Entry(const std::string& sender, Clock::time_point now, bool create);
    // Moves the current generation on when it is old, or full and `adding`;
    // a sender whose ids all expired is dropped (false).
    static bool Age(CSender& sender, Clock::time_point now, bool adding);
    void Added(Clock::time_point now);
    void SweepIdle(Clock::time_point now);

    std::unordered_map<std::string, CSender> m_senders;
    std::size_t m_sinceSweep = 0;
};
