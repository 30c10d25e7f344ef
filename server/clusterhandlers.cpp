// What the other nodes of a cluster tell this one. Each arrives on the loop
// like a record from a client, and is served by the same rules.

#include "commands.h"
#include "server.h"
#include "serverlog.h"
#include "store/store.h"

#include <algorithm>

void CServer::OnClusterRecord(const std::string& user, CNetMessage& msg, std::function<void(CTakenAs)> taken)
{
    if (msg.command == Cmd::IncomingMessage) {
        m_router.TakeRemote(user, msg, std::move(taken));
        return;
    }
    CConnection* c = m_presence.OnlineSession(user);
    taken(CTakenAs::Delivered);
    // Presence and friend answers matter only while online.
    if (!c)
        return;
    if (msg.command == Cmd::FriendRequest)
        m_friends.TakeRemoteRequest(user, *c, msg);
    else
        c->link->Send(msg);
}

void CServer::OnClusterTaken(CNetMessage& msg, bool delivered)
{
    m_router.Taken(msg, delivered);
}

void CServer::OnClusterUndelivered(CNetMessage& msg)
{
    m_router.Undelivered(msg);
}

void CServer::OnClusterKick(const std::string& user)
{
    m_presence.Kick(user);
}

void CServer::OnClusterStored(const std::string& user, int64_t fromId)
{
    m_mailbox.StoredElsewhere(user, fromId);
}

void CServer::OnClusterUserGone(const std::string& user, const std::vector<std::string>& sessionBlocks)
{
    m_presence.UserGone(user, sessionBlocks);
}

void CServer::OnClusterUserBack(const std::string& user)
{
    m_presence.UserBack(user);
}

void CServer::OnClusterAccount(const std::string& name)
{
    m_presence.AccountCreated(name, false);
}

void CServer::OnClusterBlock(const std::string& blocker, const std::string& blocked, bool added)
{
    m_presence.BlockChanged(blocker, blocked, added);
}
