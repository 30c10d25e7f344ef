#include "addressshares.h"

CAddressShares::CPlace CAddressShares::Add(const std::string& address, CMember member)
{
    std::list<CMember>& group = m_groups[address];
    if (!group.empty())
        m_bySize.erase({group.size(), address});
    group.push_back(member);
    m_bySize.emplace(group.size(), address);
    ++m_total;
    return {address, std::prev(group.end())};
}

void CAddressShares::Remove(const CPlace& place)
{
    const auto it = m_groups.find(place.address);
    if (it == m_groups.end())
        return;
    m_bySize.erase({it->second.size(), place.address});
    it->second.erase(place.it);
    --m_total;
    if (it->second.empty())
        m_groups.erase(it);
    else
        m_bySize.emplace(it->second.size(), place.address);
}

std::size_t CAddressShares::Count(const std::string& address) const
{
    const auto it = m_groups.find(address);
    return it == m_groups.end() ? 0 : it->second.size();
}

CAddressShares::CMember CAddressShares::Oldest(const std::string& address) const
{
    const auto it = m_groups.find(address);
    return it == m_groups.end() ? nullptr : it->second.front();
}

CAddressShares::CMember CAddressShares::OldestOfLargest() const
{
    return m_bySize.empty() ? nullptr : Oldest(m_bySize.rbegin()->second);
}
