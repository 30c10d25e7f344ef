// What the other nodes of a cluster tell this one. Each arrives on the loop
// like a record from a client, and is served by the same rules.

#include "commands.h"
#include "server.h"
#include "serverlog.h"
#include "store/store.h"

#include <algorithm>

CTakenAs CServer::OnClusterRecord(const std::string& user, CNetMessage& msg)
{
    CServerSession* session = OnlineSession(user);
    if (msg.command == Cmd::IncomingMessage) {
        // The user left this node while the message was on its way.
        if (!session)
            return StoreForAbsent(msg);
        // The sender's node does not know of a session block made here just
        // now; the block holds all the same, and looks like absence.
        if (IsBlocked(user, msg.sender))
            return CTakenAs::Stored;
        session->Send(msg);
        return CTakenAs::Delivered;
    }
    // Presence and friend answers matter only while online. Before its
    // "SLO" a session gets every pending request from that step; a request
    // that step already read goes out once.
    if (session && !(msg.command == Cmd::FriendRequest && (!session->m_loginComplete ||
                                                          !session->m_deliveredRequests.insert(msg.sender).second)))
        session->Send(msg);
    return CTakenAs::Delivered;
}

void CServer::OnClusterTaken(CNetMessage& msg, bool delivered)
{
    if (!msg.names.empty())
        Acknowledge(msg.sender, msg.recipient, msg.names.front(), delivered ? kReceiptDelivered : kReceiptStored);
}

void CServer::OnClusterUndelivered(CNetMessage& msg)
{
    const std::string sender = msg.sender;
    const std::string recipient = msg.recipient;
    const std::string id = msg.names.empty() ? std::string() : msg.names.front();
    const CTakenAs taken = StoreForAbsent(msg);
    if (!id.empty() && taken != CTakenAs::Failed)
        Acknowledge(sender, recipient, id, taken == CTakenAs::Delivered ? kReceiptDelivered : kReceiptStored);
}

CTakenAs CServer::StoreForAbsent(CNetMessage& msg)
{
    if (m_stopping)
        return CTakenAs::Failed;
    // Meanwhile the user may have logged in here.
    if (CServerSession* session = OnlineSession(msg.recipient)) {
        if (IsBlocked(msg.recipient, msg.sender))
            return CTakenAs::Stored;
        session->Send(msg);
        return CTakenAs::Delivered;
    }
    const std::string recipient = msg.recipient;
    const std::string sender = msg.sender;
    try {
        // Notices go out only for what is committed: commit the group first.
        CommitPending();
        CStore::CTransaction tx(m_store);
        const bool kept = StoreOffline(msg);
        tx.Commit();
        FlushStoredNotices();
        if (kept)
            return CTakenAs::Stored;
        ServerLog("offline messages of " + recipient + " at their quota; dropped one from " + sender);
    } catch (const CStoreError& error) {
        m_storedNotices.clear();
        m_mailUsage.erase(recipient);
        ServerLog("store error while keeping a message for " + recipient + ": " + error.what());
    }
    return CTakenAs::Failed;
}

void CServer::OnClusterKick(const std::string& user)
{
    const auto it = m_online.find(user);
    if (it == m_online.end())
        return;
    // The user stays online through the newer session on the other node:
    // no "SX" for the friends.
    const auto old = it->second;
    ServerLog("login " + user + " on another node ends the session from " + old->Peer());
    old->SetUser({});
    old->m_sessionBlocks.clear();
    old->Send(MakeRecord(Cmd::AdminLogoff));
    old->CloseAfterFlush();
    m_online.erase(it);
    m_cluster->UserOffline(user);
}

void CServer::OnClusterStored(const std::string& user)
{
    m_mailUsage.erase(user);
    CServerSession* session = OnlineSession(user);
    // Before "SLO" the session reads everything at that step.
    if (!session || !session->m_loginComplete)
        return;
    try {
        std::vector<CNetMessage> records = TakeOfflineMessages(*session);
        if (!records.empty()) {
            records.push_back(MakeRecord(Cmd::OfflineEnd));
            session->SendBacklog(std::move(records));
        }
    } catch (const CStoreError& error) {
        ServerLog("store error while reading the offline messages of " + user + ": " + error.what());
    }
    if (m_store.HasPending())
        CommitLater(*session);
}

void CServer::OnClusterUserGone(const std::string& user, const std::vector<std::string>& sessionBlocks)
{
    if (OnlineSession(user) || m_stopping)
        return; // logged in here since
    try {
        for (const auto& owner : m_store.FriendOf(user)) {
            CServerSession* target = OnlineSession(owner);
            if (!target || owner == user || m_routes.IsBlocked(user, owner) ||
                std::find(sessionBlocks.begin(), sessionBlocks.end(), owner) != sessionBlocks.end())
                continue;
            target->Send(MakeRecord(Cmd::FriendOffline, user));
        }
    } catch (const CStoreError& error) {
        ServerLog("store error while telling the friends of " + user + " that it left: " + error.what());
    }
}

void CServer::OnClusterUserBack(const std::string& user)
{
    if (OnlineSession(user) || m_stopping)
        return;
    try {
        for (const auto& owner : m_store.FriendOf(user)) {
            CServerSession* target = OnlineSession(owner);
            // The blocks of the session on the other node came with its
            // directory.
            if (target && owner != user && !IsBlocked(user, owner))
                target->Send(MakeRecord(Cmd::FriendOnline, user));
        }
    } catch (const CStoreError& error) {
        ServerLog("store error while telling the friends of " + user + " that it is back: " + error.what());
    }
}

void CServer::OnClusterAccount(const std::string& name)
{
    m_routes.AddAccount(name);
}

void CServer::OnClusterBlock(const std::string& blocker, const std::string& blocked, bool added)
{
    if (added)
        m_routes.AddBlock(blocker, blocked);
    else
        m_routes.RemoveBlock(blocker, blocked);
}

void CServer::AnnounceSessionBlocks(CServerSession& session)
{
    if (m_cluster && session.IsLoggedIn())
        m_cluster->UserOnline(session.User(), session.m_sessionBlocks);
}

void CServer::FlushStoredNotices()
{
    if (m_storedNotices.empty())
        return;
    auto notices = std::move(m_storedNotices);
    m_storedNotices.clear();
    std::sort(notices.begin(), notices.end());
    notices.erase(std::unique(notices.begin(), notices.end()), notices.end());
    for (const auto& user : notices)
        m_cluster->NotifyStored(user);
}
