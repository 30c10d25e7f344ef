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
    Expire(it->second, now);
    const auto found = it->second.byId.find(id);
    return found == it->second.byId.end() ? nullptr : found->second;
}

void CSentIds::Remember(const std::string& sender, const std::string& id, const char* outcome,
                        Clock::time_point now)
{
    CSender& entry = m_senders[sender];
    Expire(entry, now);
    const auto known = entry.byId.find(id);
    if (known != entry.byId.end()) {
        known->second = outcome;
    } else {
        // The deque never moves its elements on push_back or pop_front, so
        // the map's views of their ids stay valid.
        const CEntry& added = entry.order.emplace_back(CEntry{id, outcome, now});
        entry.byId.emplace(added.id, outcome);
        if (entry.order.size() > kMaxPerSender) {
            entry.byId.erase(entry.order.front().id);
            entry.order.pop_front();
        }
    }
    if (++m_sinceSweep >= kSweepEvery) {
        m_sinceSweep = 0;
        SweepIdle(now);
    }
}

void CSentIds::Expire(CSender& sender, Clock::time_point now)
{
    while (!sender.order.empty() && now - sender.order.front().at > kKeepFor) {
        sender.byId.erase(sender.order.front().id);
        sender.order.pop_front();
    }
}

void CSentIds::SweepIdle(Clock::time_point now)
{
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        Expire(it->second, now);
        if (it->second.order.empty())
            it = m_senders.erase(it);
        else
            ++it;
    }
}
