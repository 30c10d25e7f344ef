#include "sentids.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace {

// How many ids are remembered between two sweeps over every sender, which
// let go of the senders whose ids have all expired.
constexpr std::size_t kSweepEvery = 4096;
constexpr std::size_t kFirstSlots = 16;

} // namespace

CSentIds::CDigest CSentIds::Digest(const std::string& id)
{
    // std::hash, and FNV-1a: two unrelated functions.
    uint64_t fnv = 0xcbf29ce484222325ull;
    for (const char c : id) {
        fnv ^= static_cast<unsigned char>(c);
        fnv *= 0x100000001b3ull;
    }
    return {std::hash<std::string>{}(id), (fnv | 1) & ~kOutcomeBits};
}

namespace {

const char* g_outcomes[4] = {};

} // namespace

uint64_t CSentIds::OutcomeIndex(const char* outcome)
{
    // The server uses two outcomes, both literals: the table is filled on
    // the loop thread, once.
    for (uint64_t i = 0; i < 4; ++i) {
        if (g_outcomes[i] == outcome)
            return i;
        if (!g_outcomes[i]) {
            g_outcomes[i] = outcome;
            return i;
        }
    }
    throw std::logic_error("more than four outcomes for message ids");
}

const char* CSentIds::Outcome(const CDigest& slot)
{
    return g_outcomes[(slot.b & kOutcomeBits) >> 1];
}

std::size_t CSentIds::CGeneration::Slot(const CDigest& key) const
{
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = static_cast<std::size_t>(key.a) & mask;
    while (m_slots[i].b != 0 && !Holds(m_slots[i], key))
        i = (i + 1) & mask;
    return i;
}

const char* CSentIds::CGeneration::Find(const CDigest& key)
{
    Index();
    if (m_count == 0)
        return nullptr;
    const CDigest& slot = m_slots[Slot(key)];
    return slot.b == 0 ? nullptr : Outcome(slot);
}

const char* CSentIds::CGeneration::Add(const CDigest& key, const char* outcome)
{
    Index();
    if ((m_count + 1) * 4 > m_slots.size() * 3)
        Grow(m_slots.empty() ? kFirstSlots : m_slots.size() * 2);
    CDigest& slot = m_slots[Slot(key)];
    if (slot.b != 0)
        return Outcome(slot);
    slot = {key.a, key.b | OutcomeIndex(outcome) << 1};
    ++m_count;
    return nullptr;
}

void CSentIds::CGeneration::Set(const CDigest& key, const char* outcome)
{
    if (const char* known = Add(key, outcome); known && known != outcome) {
        CDigest& slot = m_slots[Slot(key)];
        slot.b = (slot.b & ~kOutcomeBits) | OutcomeIndex(outcome) << 1;
    }
}

void CSentIds::CGeneration::Append(const CDigest& key, const char* outcome)
{
    m_appended.push_back({key.a, key.b | OutcomeIndex(outcome) << 1});
}

void CSentIds::CGeneration::Index()
{
    if (m_appended.empty())
        return;
    const auto appended = std::move(m_appended);
    m_appended = {};
    // Room for all at once; in the order they came, so the last outcome of
    // a key is the one kept.
    std::size_t slots = std::max(m_slots.size(), kFirstSlots);
    while ((m_count + appended.size()) * 4 > slots * 3)
        slots *= 2;
    if (slots != m_slots.size())
        Grow(slots);
    for (const CDigest& entry : appended)
        Set({entry.a, entry.b & ~kOutcomeBits}, Outcome(entry));
}

void CSentIds::CGeneration::Erase(const CDigest& key)
{
    Index();
    if (m_count == 0)
        return;
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = Slot(key);
    if (m_slots[i].b == 0)
        return;
    // Linear probing: the entries after the hole that it would hide move up.
    m_slots[i] = CDigest();
    --m_count;
    for (std::size_t j = (i + 1) & mask; m_slots[j].b != 0; j = (j + 1) & mask) {
        const CDigest moved = m_slots[j];
        m_slots[j] = CDigest();
        m_slots[Slot({moved.a, moved.b & ~kOutcomeBits})] = moved;
    }
}

void CSentIds::CGeneration::Grow(std::size_t slots)
{
    const auto old = std::move(m_slots);
    m_slots.assign(slots, CDigest());
    for (const CDigest& slot : old)
        if (slot.b != 0)
            m_slots[Slot({slot.a, slot.b & ~kOutcomeBits})] = slot;
}

CSentIds::CSender* CSentIds::Entry(const std::string& sender, Clock::time_point now, bool create)
{
    if (!create) {
        const auto it = m_senders.find(sender);
        if (it == m_senders.end())
            return nullptr;
        if (Age(it->second, now, false))
            return &it->second;
        m_senders.erase(it);
        return nullptr;
    }
    const auto [it, added] = m_senders.try_emplace(sender);
    if (added)
        it->second.currentSince = now;
    else if (!Age(it->second, now, true))
        it->second = CSender{CGeneration(), CGeneration(), now, 0};
    return &it->second;
}

const char* CSentIds::Lookup(CSender& entry, const CDigest& key, bool earlierOnly)
{
    // The current generation first: it holds an id's newest outcome.
    for (CGeneration* generation : {&entry.current, &entry.previous})
        if (!earlierOnly || generation->Connection() != entry.connection)
            if (const char* outcome = generation->Find(key))
                return outcome;
    return nullptr;
}

const char* CSentIds::Find(const std::string& sender, const std::string& id, Clock::time_point now)
{
    CSender* entry = Entry(sender, now, false);
    return entry ? Lookup(*entry, Digest(id), false) : nullptr;
}

const char* CSentIds::Add(const std::string& sender, const std::string& id, const char* outcome,
                          Clock::time_point now)
{
    return Insert(sender, id, outcome, now, false);
}

const char* CSentIds::Insert(const std::string& sender, const std::string& id, const char* outcome,
                             Clock::time_point now, bool earlierOnly)
{
    CSender& entry = *Entry(sender, now, true);
    const CDigest key = Digest(id);
    if (const char* known = Lookup(entry, key, earlierOnly))
        return known;
    // Into the list when the current generation is not looked at before
    // the sender's next connection, else into its table at once.
    if (earlierOnly && entry.current.Connection() == entry.connection)
        entry.current.Append(key, outcome);
    else
        entry.current.Add(key, outcome);
    Added(now);
    return nullptr;
}

void CSentIds::Remember(const std::string& sender, const std::string& id, const char* outcome,
                        Clock::time_point now)
{
    CSender& entry = *Entry(sender, now, true);
    const CDigest key = Digest(id);
    // The current generation is looked at first: the new outcome there hides
    // one in the previous generation, and lives as long as the id's own.
    if (entry.current.Connection() == entry.connection) {
        entry.current.Append(key, outcome);
    } else {
        entry.previous.Erase(key);
        entry.current.Set(key, outcome);
    }
    Added(now);
}

void CSentIds::NewConnection(const std::string& sender)
{
    if (const auto it = m_senders.find(sender); it != m_senders.end())
        ++it->second.connection;
}

const char* CSentIds::Note(const std::string& sender, const std::string& id, const char* outcome,
                           Clock::time_point now)
{
    return Insert(sender, id, outcome, now, true);
}

const char* CSentIds::FindEarlier(const std::string& sender, const std::string& id, Clock::time_point now)
{
    CSender* entry = Entry(sender, now, false);
    return entry ? Lookup(*entry, Digest(id), true) : nullptr;
}

void CSentIds::Added(Clock::time_point now)
{
    if (++m_sinceSweep >= kSweepEvery) {
        m_sinceSweep = 0;
        SweepIdle(now);
    }
}

bool CSentIds::Age(CSender& sender, Clock::time_point now, bool adding)
{
    if ((!adding || sender.current.Size() < kMaxPerSender) && now - sender.currentSince < kKeepFor)
        return true;
    // Two generations old: everything the sender sent is gone.
    if (now - sender.currentSince >= 2 * kKeepFor)
        return false;
    sender.previous = std::move(sender.current);
    sender.current = CGeneration(sender.connection);
    sender.currentSince = now;
    return true;
}

void CSentIds::SweepIdle(Clock::time_point now)
{
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        if (Age(it->second, now, false))
            ++it;
        else
            it = m_senders.erase(it);
    }
}
