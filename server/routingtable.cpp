#include "routingtable.h"

#include "store/store.h"

#include <iterator>

void CRoutingTable::Load(CStore& store)
{
    m_accounts.clear();
    m_blocks.clear();
    for (auto& name : store.AccountNames())
        m_accounts.insert(std::move(name));
    for (auto& [blocker, blocked] : store.AllBlocks())
        m_blocks[std::move(blocker)].insert(std::move(blocked));
}

bool CRoutingTable::IsBlocked(const std::string& blocker, const std::string& blocked) const
{
    const auto it = m_blocks.find(blocker);
    return it != m_blocks.end() && it->second.count(blocked) != 0;
}

void CRoutingTable::AddBlock(const std::string& blocker, const std::string& blocked)
{
    m_blocks[blocker].insert(blocked);
}

void CRoutingTable::RemoveBlock(const std::string& blocker, const std::string& blocked)
{
    const auto it = m_blocks.find(blocker);
    if (it == m_blocks.end())
        return;
    it->second.erase(blocked);
    if (it->second.empty())
        m_blocks.erase(it);
}

std::unordered_set<std::string> CRoutingTable::BlockedBy(const std::string& blocker) const
{
    const auto it = m_blocks.find(blocker);
    return it == m_blocks.end() ? std::unordered_set<std::string>() : it->second;
}

void CRoutingTable::RemoveAccount(const std::string& name)
{
    m_accounts.erase(name);
    m_blocks.erase(name);
    for (auto it = m_blocks.begin(); it != m_blocks.end();) {
        it->second.erase(name);
        it = it->second.empty() ? m_blocks.erase(it) : std::next(it);
    }
}
