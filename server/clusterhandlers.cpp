// What the other nodes of a cluster tell this one. Each arrives on the loop
// like a record from a client, and is served by the same rules.

#include "commands.h"
#include "server.h"
#include "serverlog.h"
#include "store/store.h"

#include <algorithm>

void CServer::OnClusterRecord(const std::string& user, CNetMessage& msg, std::function<void(CTakenAs)> taken)
{
    CConnection* c = m_presence.OnlineSession(user);
    if (msg.command == Cmd::IncomingMessage) {
        // The user left this node while the message was on its way.
        if (!c) {
            StoreForAbsent(msg, std::move(taken));
            return;
        }
        // The sender's node does not know of a session block made here just
        // now; the block holds all the same, and looks like absence.
        if (m_presence.IsBlocked(user, msg.sender)) {
            taken(CTakenAs::Stored);
            return;
        }
        DeliverLive(*c, msg);
        taken(CTakenAs::Delivered);
        return;
    }
    taken(CTakenAs::Delivered);
    // Presence and friend answers matter only while online.
    if (!c)
        return;
    if (msg.command != Cmd::FriendRequest) {
        c->link->Send(msg);
        return;
    }
    // Before its "SLO" a session gets every pending request from that step.
    // A live copy may come late, after the request was read there or even
    // answered: it goes out only while the request is pending and was not
    // sent in this login yet.
    if (!c->login.complete)
        return;
    const std::string requester = msg.sender; // before msg moves
    m_store.Request(
        KeyOf(user), false,
        [user, requester](CStore& store) { return store.HasFriendRequest(requester, user); },
        [this, user, weak = CWeakLink(c->link), sfa = std::move(msg)](bool pending) mutable {
            CConnection* c = Find(weak);
            if (pending && c && c->login.user == user && c->login.deliveredRequests.insert(sfa.sender).second)
                c->link->Send(sfa);
        },
        [user](const std::string& reason) {
            ServerLog("store error while passing on a friend request for " + user + ": " + reason);
        });
}

void CServer::OnClusterTaken(CNetMessage& msg, bool delivered)
{
    if (!msg.names.empty())
        Acknowledge(msg.sender, msg.recipient, msg.names.front(), delivered ? kReceiptDelivered : kReceiptStored);
}

void CServer::OnClusterUndelivered(CNetMessage& msg)
{
    const std::string id = msg.names.empty() ? std::string() : msg.names.front();
    if (id.empty()) {
        StoreForAbsent(msg, [](CTakenAs) {});
        return;
    }
    StoreForAbsent(msg, [this, sender = msg.sender, recipient = msg.recipient, id](CTakenAs taken) {
        if (taken != CTakenAs::Failed)
            Acknowledge(sender, recipient, id, taken == CTakenAs::Delivered ? kReceiptDelivered : kReceiptStored);
    });
}

void CServer::StoreForAbsent(CNetMessage& msg, std::function<void(CTakenAs)> taken)
{
    if (m_stopping) {
        taken(CTakenAs::Failed);
        return;
    }
    // Meanwhile the user may have logged in here.
    if (CConnection* c = m_presence.OnlineSession(msg.recipient)) {
        if (m_presence.IsBlocked(msg.recipient, msg.sender)) {
            taken(CTakenAs::Stored);
            return;
        }
        DeliverLive(*c, msg);
        taken(CTakenAs::Delivered);
        return;
    }
    const std::string recipient = msg.recipient;
    const std::string sender = msg.sender;
    StoreOffline(
        KeyOf(sender), msg,
        [recipient, sender, taken](CKeptAs as) {
            if (as != CKeptAs::Kept)
                ServerLog("offline messages of " + recipient + " or from " + sender +
                          " at their quota; dropped one from " + sender);
            taken(as == CKeptAs::Kept ? CTakenAs::Stored : CTakenAs::Failed);
        },
        [recipient, taken](const std::string& reason) {
            ServerLog("store error while keeping a message for " + recipient + ": " + reason);
            taken(CTakenAs::Failed);
        });
}

void CServer::OnClusterKick(const std::string& user)
{
    m_presence.Kick(user);
}

void CServer::OnClusterStored(const std::string& user, int64_t fromId)
{
    m_mailUsage.erase(user);
    if (CConnection* c = m_presence.OnlineSession(user))
        FetchStored(*c, fromId);
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

void CServer::FlushStoredNotices()
{
    auto notices = std::move(m_storedNotices);
    m_storedNotices.clear();
    for (const auto& [user, id] : notices) {
        // Logged in here since: read now.
        if (CConnection* c = m_presence.OnlineSession(user))
            FetchStored(*c, id);
        else if (m_presence.Cluster())
            m_presence.Cluster()->NotifyStored(user, id);
    }
}
