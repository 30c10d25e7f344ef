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

void CServer::HandleMessage(CConnection& c, CNetMessage& msg)
{
    // A client that was offered receipts names its message; names[0] is the
    // id, and any further entries are not ours.
    std::string id;
    if (!msg.names.empty()) {
        id = std::move(msg.names.front());
        msg.names.clear();
        if (!IsValidMessageId(id)) {
            c.link->Send(MakeRecord(Cmd::Failure, "Invalid message id"));
            return;
        }
    }
    const std::string recipient = msg.recipient;
    m_presence.WithAccount(
        c, recipient, [this, msg = std::move(msg), id](CConnection& c, bool exists) mutable {
            if (exists) {
                RouteMessage(c, std::move(msg), id);
                return;
            }
            CNetMessage failure = MakeRecord(Cmd::Failure, "User " + msg.recipient + " does not exist");
            if (!id.empty())
                failure.names.push_back(id);
            c.link->Send(failure);
        });
}

void CServer::RouteMessage(CConnection& c, CNetMessage msg, const std::string& id)
{
    const std::string user = c.login.user;
    const std::string recipient = msg.recipient;
    // Text, time, faceName, font, color and size go on byte for byte. Only
    // the sender is replaced, by the authenticated name; the request's own
    // sender is never trusted.
    msg.command = Cmd::IncomingMessage;
    msg.sender = user;
    // A recipient on this node, the common case: the id is noted as
    // delivered unless it came on an earlier connection of the sender's (a
    // resend whose receipt was lost with the connection, which then only
    // gets that receipt).
    if (CConnection* target = m_presence.OnlineSession(recipient);
        target && !m_presence.IsBlocked(recipient, user)) {
        if (!id.empty()) {
            if (const char* known = m_sentIds.Note(user, id, kReceiptDelivered)) {
                SendReceipt(c, recipient, id, known);
                return;
            }
            msg.names.push_back(id);
        }
        target->link->Send(msg);
        ++m_stats.delivered;
        if (!id.empty())
            SendReceipt(c, recipient, id, kReceiptDelivered);
        return;
    }
    // A resend of a message whose receipt was lost with the connection: the
    // first copy went its way already.
    if (!id.empty()) {
        if (const char* outcome = m_sentIds.FindEarlier(user, id)) {
            Acknowledge(user, recipient, id, outcome);
            return;
        }
    }
    // What the store did, told behind whatever the sender stored before.
    auto kept = [this, user, recipient, id, weak = CWeakLink(c.link)](CKeptAs as) {
        if (as == CKeptAs::Kept) {
            if (!id.empty())
                Acknowledge(user, recipient, id, kReceiptStored);
        } else if (CConnection* c = Find(weak)) {
            CNetMessage failure = QuotaFailure(recipient, as);
            if (!id.empty())
                failure.names.push_back(id);
            c->link->Send(failure);
        }
    };
    auto failed = [this, weak = CWeakLink(c.link)](const std::string& reason) {
        m_store.StoreFailed(weak, reason);
    };
    if (m_presence.IsBlocked(recipient, user)) {
        // Dropped silently: to the sender it looks like an offline recipient,
        // down to the time its receipt takes.
        if (!id.empty())
            m_store.Request(
                KeyOf(c), true, [](CStore&) { return true; },
                [kept = std::move(kept)](bool) mutable { kept(CKeptAs::Kept); }, std::move(failed));
        return;
    }
    if (!id.empty())
        msg.names.push_back(id);
    if (DeliverOrStore(KeyOf(c), msg, std::move(kept), std::move(failed)) == CDelivery::Delivered && !id.empty())
        Acknowledge(user, recipient, id, kReceiptDelivered);
    // Forwarded: the recipient's node answers (OnClusterTaken).
}

void CServer::HandleBlock(CConnection& c, CNetMessage& msg, bool permanent)
{
    const std::string user = c.login.user;
    const std::string name = msg.recipient;
    if (name == user)
        return;
    m_presence.WithAccount(c, name, [this, user, name, permanent](CConnection& c, bool exists) {
        if (!exists)
            return;
        auto& blocks = c.login.sessionBlocks;
        if (!permanent) {
            if (std::find(blocks.begin(), blocks.end(), name) == blocks.end() &&
                !m_presence.Routes().IsBlocked(user, name)) {
                blocks.push_back(name);
                m_presence.AnnounceSessionBlocks(c);
            }
            return;
        }
        // The block holds from now on, as the user asked; should the store
        // fail to keep it, it is undone with the connection.
        const bool added = m_presence.Block(user, name);
        // A session block made permanent is one block, not two.
        const auto it = std::find(blocks.begin(), blocks.end(), name);
        if (it != blocks.end()) {
            blocks.erase(it);
            m_presence.AnnounceSessionBlocks(c);
        }
        m_store.Query(
            c,
            [user, name](CStore& store) {
                store.AddBlock(user, name);
                return true;
            },
            [](CConnection&, bool) {},
            [this, user, name, added](const std::string&) {
                if (added)
                    m_presence.UndoBlock(user, name);
            });
    });
}

void CServer::HandleBlockedList(CConnection& c, CNetMessage&)
{
    const std::string user = c.login.user;
    m_store.Query(
        c, [user](CStore& store) { return store.Blocks(user); },
        [user](CConnection& c, std::vector<std::string> blocks) {
            CNetMessage answer = MakeRecord(Cmd::BlockedListAnswer, {}, user);
            answer.names = std::move(blocks);
            for (const auto& name : c.login.sessionBlocks)
                answer.names.push_back(name + "*");
            c.link->Send(answer);
        });
}

void CServer::HandleUnblock(CConnection& c, CNetMessage& msg)
{
    // The names come from the list as shown, so a session block still ends
    // in "*". All the permanent ones go in one transaction, and memory
    // follows only once it is committed.
    const std::string user = c.login.user;
    for (std::string& name : msg.names)
        if (!name.empty() && name.back() == '*')
            name.pop_back();
    auto names = std::make_shared<std::vector<std::string>>(std::move(msg.names));
    m_store.Query(
        c,
        [user, names](CStore& store) {
            CStore::CTransaction tx(store);
            for (const auto& name : *names)
                store.RemoveBlock(user, name);
            tx.Commit();
            return true;
        },
        [this, user, names](CConnection& c, bool) {
            auto& blocks = c.login.sessionBlocks;
            for (const auto& name : *names) {
                m_presence.Unblock(user, name);
                blocks.erase(std::remove(blocks.begin(), blocks.end(), name), blocks.end());
            }
            m_presence.AnnounceSessionBlocks(c);
            c.link->Send(MakeRecord(Cmd::Unblocked, {}, user));
        });
}

void CServer::HandleLogoff(CConnection& c, CNetMessage&)
{
    m_presence.LogOff(c, "X");
    c.link->CloseAfterFlush();
}
