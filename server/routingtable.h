#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>

class CStore;

// What routing a message needs, kept in memory so that relaying an "M" reads
// nothing from the database: which accounts exist, and who blocks whom
// permanently. Loaded once at start; the server updates it after each store
// write that changes either, once that write has been committed.
class CRoutingTable
{
public:
    void Load(CStore& store);

    bool HasAccount(const std::string& name) const { return m_accounts.count(name) != 0; }
    void AddAccount(const std::string& name) { m_accounts.insert(name); }
    // The account goes, and every permanent block it made or was the
    // subject of with it.
    void RemoveAccount(const std::string& name);
    const std::unordered_set<std::string>& Accounts() const { return m_accounts; }

    bool IsBlocked(const std::string& blocker, const std::string& blocked) const;
    void AddBlock(const std::string& blocker, const std::string& blocked);
    void RemoveBlock(const std::string& blocker, const std::string& blocked);
    // The users `blocker` blocks permanently.
    std::unordered_set<std::string> BlockedBy(const std::string& blocker) const;

private:
    std::unordered_set<std::string> m_accounts;
    // blocker -> the users it blocks permanently
    std::unordered_map<std::string, std::unordered_set<std::string>> m_blocks;
};
