#pragma once

#include <cstddef>
#include <list>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

class CClientLink;

// Sessions counted by the address they come from, each address's oldest
// first. A crowd from one address can so be held to a share of its own and,
// when room runs out, the address that holds the most gives way first,
// whoever else is waiting.
class CAddressShares
{
public:
    using CMember = CClientLink*;
    // Where a member is counted, to take it out again.
    struct CPlace
    {
        std::string address;
        std::list<CMember>::iterator it;
    };

    CPlace Add(const std::string& address, CMember member);
    void Remove(const CPlace& place);

    std::size_t Count(const std::string& address) const;
    std::size_t Total() const { return m_total; }
    // The oldest member of `address`, or of the address with the most
    // members (of those with as many, any); null when there is none.
    CMember Oldest(const std::string& address) const;
    CMember OldestOfLargest() const;

private:
    std::unordered_map<std::string, std::list<CMember>> m_groups;
    std::set<std::pair<std::size_t, std::string>> m_bySize;
    std::size_t m_total = 0;
};
