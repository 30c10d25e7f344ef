#pragma once

#include "cluster.h"
#include "uniquefunction.h"

#include <string>
#include <vector>

class CAccounts;
class CMailbox;
class CPresence;
class CStoreRequests;

// The operator's requests from the admin socket: changes to accounts that
// the clients cannot make, each committed before it is told done, and
// followed by every node of a cluster. On the loop only.
class CAdmin
{
public:
    // Called on the loop once per change: with an empty reason when it is
    // committed, else with the one line that says why not.
    using CAdminDone = CUniqueFunction<void(const std::string& reason)>;

    CAdmin(CStoreRequests& store, CPresence& presence, CAccounts& accounts, CMailbox& mailbox);
    CAdmin(const CAdmin&) = delete;
    CAdmin& operator=(const CAdmin&) = delete;

    // Every account, or those online on any node, sorted.
    std::vector<std::string> AccountNames(bool onlineOnly) const;
    void SetPassword(const std::string& name, std::string password, CAdminDone done);
    void SetLocked(const std::string& name, bool locked, CAdminDone done);
    void Delete(const std::string& name, CAdminDone done);

    // The operator changed `name` through another node; `friendOf`, for a
    // deleted account, are the owners of friends lists that held it.
    void AccountChanged(const std::string& name, CAccountChange change,
                        const std::vector<std::string>& friendOf);

private:
    // Follows a deleted account: it goes from memory, and the owners of
    // `friendOf` logged in here see it leave.
    void AccountDeleted(const std::string& name, const std::vector<std::string>& friendOf);

    CStoreRequests& m_store;
    CPresence& m_presence;
    CAccounts& m_accounts;
    CMailbox& m_mailbox;
};
