#include "sentids.h"

namespace {

// How many ids are remembered between two sweeps over every sender, which
// let go of the senders whose ids have all expired.
constexpr std::size_t kSweepEvery = 4096;

} // namespace

CSentIds::CDigest CSentIds::Digest(const std::string& id)
{
    // std::hash, and FNV-1a: two unrelated functions.
    uint64_t fnv = 0xcbf29ce484222325ull;
    for (const char c : id) {
        fnv ^= static_cast<unsigned char>(c);
        fnv *= 0x100000001b3ull;
    }
    return {std::hash<std::string>{}(id), fnv};
}

const char* CSentIds::Find(const std::string& sender, const std::string& id, Clock::time_point now)
{
    const auto it = m_senders.find(sender);
    if (it == m_senders.end())
        return nullptr;
    CSender& entry = it->second;
    if (!Age(entry, now)) {
        m_senders.erase(it);
        return nullptr;
    }
    const CDigest key = Digest(id);
    if (const auto found = entry.current.find(key); found != entry.current.end())
        return found->second;
    if (const auto found = entry.previous.find(key); found != entry.previous.end())
        return found->second;
    return nullptr;
}

const char* CSentIds::Add(const std::string& sender, const std::string& id, const char* outcome,
                          Clock::time_point now)
{
    const auto [it, added] = m_senders.try_emplace(sender);
    CSender& entry = it->second;
    if (added)
        entry.currentSince = now;
    else
        Age(entry, now);
    const CDigest key = Digest(id);
    if (const auto found = entry.previous.find(key); found != entry.previous.end())
        return found->second;
    const auto [slot, inserted] = entry.current.try_emplace(key, outcome);
    if (!inserted)
        return slot->second;
    if (++m_sinceSweep >= kSweepEvery) {
        m_sinceSweep = 0;
        SweepIdle(now);
    }
    return nullptr;
}

void CSentIds::Remember(const std::string& sender, const std::string& id, const char* outcome,
                        Clock::time_point now)
{
    const auto [it, added] = m_senders.try_emplace(sender);
    CSender& entry = it->second;
    if (added)
        entry.currentSince = now;
    else
        Age(entry, now);
    // An id kept in the previous generation moves to the current one with
    // its new outcome.
    const CDigest key = Digest(id);
    entry.previous.erase(key);
    entry.current.insert_or_assign(key, outcome);
    if (++m_sinceSweep >= kSweepEvery) {
        m_sinceSweep = 0;
        SweepIdle(now);
    }
}

bool CSentIds::Age(CSender& sender, Clock::time_point now)
{
    if (sender.current.size() < kMaxPerSender && now - sender.currentSince < kKeepFor)
        return true;
    // Two generations old: everything the sender sent is gone.
    if (now - sender.currentSince >= 2 * kKeepFor)
        return false;
    sender.previous = std::move(sender.current);
    sender.current = CGeneration();
    sender.currentSince = now;
    return true;
}

void CSentIds::SweepIdle(Clock::time_point now)
{
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        if (Age(it->second, now))
            ++it;
        else
            it = m_senders.erase(it);
    }
}
