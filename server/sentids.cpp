#include "sentids.h"

namespace {

// How many ids are remembered between two sweeps over every sender, which
// let go of the senders whose ids have all expired.
constexpr std::size_t kSweepEvery = 4096;

} // namespace

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
    if (const auto found = entry.current.find(id); found != entry.current.end())
        return found->second;
    if (const auto found = entry.previous.find(id); found != entry.previous.end())
        return found->second;
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
    entry.previous.erase(id);
    entry.current.insert_or_assign(id, outcome);
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
