#include "clusterevents.h"

#include "admin.h"
#include "commands.h"
#include "friends.h"
#include "mailbox.h"
#include "presence.h"
#include "router.h"

CClusterEvents::CClusterEvents(CPresence& presence, CMailbox& mailbox, CRouter& router, CFriends& friends,
                               CAdmin& admin)
    : m_presence(presence), m_mailbox(mailbox), m_router(router), m_friends(friends), m_admin(admin)
{
}

void CClusterEvents::OnClusterRecord(const std::string& user, CNetMessage& msg,
                                     std::function<void(CTakenAs)> taken)
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

void CClusterEvents::OnClusterTaken(CNetMessage& msg, bool delivered)
{
    m_router.Taken(msg, delivered);
}

void CClusterEvents::OnClusterUndelivered(CNetMessage& msg)
{
    m_router.Undelivered(msg);
}

void CClusterEvents::OnClusterKick(const std::string& user)
{
    m_presence.Kick(user);
}

void CClusterEvents::OnClusterStored(const std::string& user, int64_t fromId)
{
    m_mailbox.StoredElsewhere(user, fromId);
}

void CClusterEvents::OnClusterUserGone(const std::string& user, const std::vector<std::string>& sessionBlocks)
{
    m_presence.UserGone(user, sessionBlocks);
}

void CClusterEvents::OnClusterUserBack(const std::string& user)
{
    m_presence.UserBack(user);
}

void CClusterEvents::OnClusterAccount(const std::string& name)
{
    m_presence.AccountCreated(name, false);
}

void CClusterEvents::OnClusterBlock(const std::string& blocker, const std::string& blocked, bool added)
{
    m_presence.BlockChanged(blocker, blocked, added);
}

void CClusterEvents::OnClusterAccountChanged(const std::string& name, CAccountChange change,
                                             const std::vector<std::string>& friendOf)
{
    m_admin.AccountChanged(name, change, friendOf);
}
