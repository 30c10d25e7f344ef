// Instant messages, blocks and log-off.

#include "commands.h"
#include "server.h"
#include "store/store.h"

#include <algorithm>

namespace {

// A message id is 1 to 64 printable ASCII characters other than the space.
bool IsValidMessageId(const std::string& id)
{
    if (id.empty() || id.size() > 64)
        return false;
    for (const char c : id)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

} // namespace

void CServer::HandleMessage(CServerSession& session, CNetMessage& msg)
{
    const std::string& user = session.User();
    // A client that was offered receipts names its message; names[0] is the
    // id, and any further entries are not ours.
    std::string id;
    if (!msg.names.empty()) {
        id = std::move(msg.names.front());
        if (!IsValidMessageId(id)) {
            CommitPending();
            session.Send(MakeRecord(Cmd::Failure, "Invalid message id"));
            return;
        }
    }
    const auto fail = [&](CNetMessage failure) {
        // An answer: what this sender stored before must be durable first.
        CommitPending();
        if (!id.empty())
            failure.names.push_back(id);
        session.Send(failure);
    };
    if (!AccountKnown(msg.recipient)) {
        fail(MakeRecord(Cmd::Failure, "User " + msg.recipient + " does not exist"));
        return;
    }
    // A resend of a message whose receipt was lost with the connection: the
    // first copy went its way already.
    if (!id.empty()) {
        if (const char* outcome = m_sentIds.Find(user, id)) {
            Acknowledge(user, msg.recipient, id, outcome);
            return;
        }
    }
    if (IsBlocked(msg.recipient, user)) {
        // Dropped silently: to the sender it looks like an offline recipient.
        if (!id.empty())
            AcknowledgeStored(user, msg.recipient, id);
        return;
    }
    // Text, time, faceName, font, color and size go on byte for byte. Only
    // the sender is replaced, by the authenticated name; the request's own
    // sender is never trusted.
    msg.command = Cmd::IncomingMessage;
    msg.sender = user;
    msg.names.clear();
    if (!id.empty())
        msg.names.push_back(id);
    const std::string recipient = msg.recipient;
    switch (DeliverOrStore(msg)) {
    case CDelivery::Delivered:
        if (!id.empty())
            Acknowledge(user, recipient, id, kReceiptDelivered);
        break;
    case CDelivery::Stored:
        if (!id.empty())
            AcknowledgeStored(user, recipient, id);
        break;
    case CDelivery::Forwarded:
        break; // the recipient's node answers (OnClusterTaken)
    case CDelivery::OverQuota:
        fail(QuotaFailure(recipient));
        break;
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
