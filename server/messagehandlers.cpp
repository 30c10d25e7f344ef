// Instant messages, blocks and log-off.

#include "commands.h"
#include "server.h"
#include "store/store.h"

#include <algorithm>

void CServer::HandleMessage(CServerSession& session, CNetMessage& msg)
{
    const std::string& user = session.User();
    if (!AccountKnown(msg.recipient)) {
        // An answer: what this sender stored before must be durable first.
        CommitPending();
        session.Send(MakeRecord(Cmd::Failure, "User " + msg.recipient + " does not exist"));
        return;
    }
    if (IsBlocked(msg.recipient, user))
        return; // dropped silently: the sender must not learn of the block
    // Text, time, faceName, font, color and size go on byte for byte. Only
    // the sender is replaced, by the authenticated name; the request's own
    // sender is never trusted.
    msg.command = Cmd::IncomingMessage;
    msg.sender = user;
    msg.names.clear();
    if (!DeliverOrStore(msg)) {
        CommitPending();
        session.Send(QuotaFailure(msg.recipient));
    }
}

void CServer::HandleBlock(CServerSession& session, CNetMessage& msg, bool permanent)
{
    const std::string& user = session.User();
    const std::string& name = msg.recipient;
    if (name == user || !AccountKnown(name))
        return;
    auto& blocks = session.m_sessionBlocks;
    const auto it = std::find(blocks.begin(), blocks.end(), name);
    if (permanent) {
        // A session block made permanent is one block, not two.
        m_store.AddBlock(user, name);
        m_routes.AddBlock(user, name);
        if (m_cluster)
            m_cluster->BlockChanged(user, name, true);
        if (it != blocks.end()) {
            blocks.erase(it);
            AnnounceSessionBlocks(session);
        }
    } else if (it == blocks.end() && !m_routes.IsBlocked(user, name)) {
        blocks.push_back(name);
        AnnounceSessionBlocks(session);
    }
}

void CServer::HandleBlockedList(CServerSession& session, CNetMessage&)
{
    CNetMessage answer = MakeRecord(Cmd::BlockedListAnswer, {}, session.User());
    answer.names = m_store.Blocks(session.User());
    for (const auto& name : session.m_sessionBlocks)
        answer.names.push_back(name + "*");
    session.Send(answer);
}

void CServer::HandleUnblock(CServerSession& session, CNetMessage& msg)
{
    // The names come from the list as shown, so a session block still ends
    // in "*". All the permanent ones go in one transaction, and memory
    // follows only once it is committed.
    const std::string& user = session.User();
    for (std::string& name : msg.names)
        if (!name.empty() && name.back() == '*')
            name.pop_back();
    CStore::CTransaction tx(m_store);
    for (const auto& name : msg.names)
        m_store.RemoveBlock(user, name);
    tx.Commit();
    auto& blocks = session.m_sessionBlocks;
    for (const auto& name : msg.names) {
        if (m_cluster && m_routes.IsBlocked(user, name))
            m_cluster->BlockChanged(user, name, false);
        m_routes.RemoveBlock(user, name);
        blocks.erase(std::remove(blocks.begin(), blocks.end(), name), blocks.end());
    }
    AnnounceSessionBlocks(session);
    session.Send(MakeRecord(Cmd::Unblocked, {}, user));
}

void CServer::HandleLogoff(CServerSession& session, CNetMessage&)
{
    LogOff(session, "X");
    session.CloseAfterFlush();
}
