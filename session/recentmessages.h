#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

// The messages of other users this run has shown, by sender and the
// sender's id, each with the stored id it came with ("" when it came live):
// a message that comes again is known even when the history is not kept.
// The oldest are forgotten past kKept, as many as the server remembers.
class CRecentMessages
{
public:
    static constexpr std::size_t kKept = 10000;

    void Add(const std::string& sender, const std::string& id, const std::string& storedId)
    {
        const auto [it, added] = m_storedIds.emplace(Key(sender, id), storedId);
        if (!added)
            return;
        m_order.push_back(it->first);
        if (m_order.size() > kKept) {
            m_storedIds.erase(m_order.front());
            m_order.pop_front();
        }
    }

    // The stored id `sender`'s message `id` came with, or null when unknown.
    const std::string* Find(const std::string& sender, const std::string& id) const
    {
        const auto it = m_storedIds.find(Key(sender, id));
        return it == m_storedIds.end() ? nullptr : &it->second;
    }

    void Clear()
    {
        m_storedIds.clear();
        m_order.clear();
    }

private:
    // Names and ids hold no NUL byte, so the pair is one key.
    static std::string Key(const std::string& sender, const std::string& id) { return sender + '\0' + id; }

    std::unordered_map<std::string, std::string> m_storedIds;
    std::deque<std::string> m_order;
};
