#pragma once

#include "cluster.h"

#include <functional>
#include <string>
#include <vector>

class CAdmin;
class CFriends;
class CMailbox;
class CPresence;
class CRouter;

// What the other nodes of a cluster tell this one, each handed to the
// service it concerns. Each arrives on the loop like a record from a client,
// and is served by the same rules.
class CClusterEvents final : public CClusterListener
{
public:
    CClusterEvents(CPresence& presence, CMailbox& mailbox, CRouter& router, CFriends& friends, CAdmin& admin);

    void OnClusterRecord(const std::string& user, CNetMessage& msg,
                         std::function<void(CTakenAs)> taken) override;
    void OnClusterTaken(CNetMessage& msg, bool delivered) override;
    void OnClusterUndelivered(CNetMessage& msg) override;
    void OnClusterKick(const std::string& user) override;
    void OnClusterStored(const std::string& user, int64_t fromId) override;
    void OnClusterUserGone(const std::string& user, const std::vector<std::string>& sessionBlocks) override;
    void OnClusterUserBack(const std::string& user) override;
    void OnClusterAccount(const std::string& name) override;
    void OnClusterBlock(const std::string& blocker, const std::string& blocked, bool added) override;
    void OnClusterAccountChanged(const std::string& name, CAccountChange change,
                                 const std::vector<std::string>& friendOf) override;

private:
    CPresence& m_presence;
    CMailbox& m_mailbox;
    CRouter& m_router;
    CFriends& m_friends;
    CAdmin& m_admin;
};
