#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

// What became of the messages each sender's client sent with an id, so that
// a resend (after a lost connection, before its receipt came) is answered
// again rather than delivered twice. Each sender's ids are kept at least
// kKeepFor, or until kMaxPerSender newer ones came, whichever is sooner, and
// at most twice that: past that, the recipient's client drops the copy it
// already has.
//
// Each sender's ids are in two generations: new ones go into the current
// one, which becomes the previous one when it is full or kKeepFor old; the
// previous one is dropped then.
//
// Only what this node delivered or stored since it started is known here;
// stored messages also carry their id in the store, which refuses a second
// copy itself.
class CSentIds
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr auto kKeepFor = std::chrono::minutes(10);
    static constexpr std::size_t kMaxPerSender = 10'000;

    // The receipt text ("delivered" or "stored") of `id` from `sender`, or
    // null when it is not known.
    const char* Find(const std::string& sender, const std::string& id, Clock::time_point now = Clock::now());
    // Remembers `id` with `outcome` unless it is known already: then its
    // outcome, and nothing changes; else null.
    const char* Add(const std::string& sender, const std::string& id, const char* outcome,
                    Clock::time_point now = Clock::now());
    // `outcome` must be a string that lives for ever (a literal).
    void Remember(const std::string& sender, const std::string& id, const char* outcome,
                  Clock::time_point now = Clock::now());

    std::size_t SenderCount() const { return m_senders.size(); }

private:
    // An id is kept as two independent 64-bit hashes of it: no copy of the
    // string, and a false match as likely as guessing 128 random bits.
    struct CDigest
    {
        uint64_t a = 0;
        uint64_t b = 0;
        bool operator==(const CDigest&) const = default;
    };
    struct CDigestHash
    {
        std::size_t operator()(const CDigest& d) const noexcept { return static_cast<std::size_t>(d.a); }
    };
    static CDigest Digest(const std::string& id);
    using CGeneration = std::unordered_map<CDigest, const char*, CDigestHash>;
    struct CSender
    {
        CGeneration current;
        CGeneration previous;
        Clock::time_point currentSince;
    };

    // Moves the current generation on when it is full or old; a sender
    // whose ids all expired is dropped (false).
    static bool Age(CSender& sender, Clock::time_point now);
    void SweepIdle(Clock::time_point now);

    std::unordered_map<std::string, CSender> m_senders;
    std::size_t m_sinceSweep = 0;
};
