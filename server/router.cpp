// Instant messages and their receipts, here and between nodes.

#include "router.h"

#include "commands.h"
#include "presence.h"
#include "serverlog.h"
#include "serverrecords.h"
#include "serverstats.h"
#include "store/store.h"
#include "storerequests.h"

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

CRouter::CRouter(CServerStats& stats, CStoreRequests& store, CConnections& connections, CPresence& presence,
                 CMailbox& mailbox)
    : m_stats(stats), m_store(store), m_connections(connections), m_presence(presence), m_mailbox(mailbox)
{
}

void CRouter::HandleMessage(CConnection& c, CNetMessage& msg)
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

void CRouter::RouteMessage(CConnection& c, CNetMessage msg, const std::string& id)
{
    const std::string user = c.login.user;
    const std::string recipient = msg.recipient;
    // Text, time, faceName, font, color and size go on byte for byte. Only
    // the sender is replaced, by the authenticated name; the request's own
    // sender is never trusted.
    msg.command = Cmd::IncomingMessage;
    msg.sender = user;
    if (CConnection* target = m_presence.OnlineSession(recipient);
        target && !m_presence.IsBlocked(recipient, user)) {
        DeliverHere(c, *target, msg, id);
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
    auto kept = [this, user, recipient, id, weak = CWeakLink(c.link)](CMailbox::CKeptAs as) {
        if (as == CMailbox::CKeptAs::Kept) {
            if (!id.empty())
                Acknowledge(user, recipient, id, kReceiptStored);
        } else if (CConnection* c = m_connections.Find(weak)) {
            CNetMessage failure = CMailbox::QuotaFailure(recipient, as);
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
                [kept = std::move(kept)](bool) mutable { kept(CMailbox::CKeptAs::Kept); }, std::move(failed));
        return;
    }
    if (!id.empty())
        msg.names.push_back(id);
    if (DeliverOrStore(KeyOf(c), msg, std::move(kept), std::move(failed)) == CDelivery::Delivered &&
        !id.empty())
        Acknowledge(user, recipient, id, kReceiptDelivered);
    // Forwarded: the recipient's node answers (CRouter::Taken).
}

void CRouter::DeliverHere(CConnection& c, CConnection& target, CNetMessage& msg, const std::string& id)
{
    // A recipient on this node, the common case: the id is noted as
    // delivered unless it came on an earlier connection of the sender's (a
    // resend whose receipt was lost with the connection, which then only
    // gets that receipt).
    if (!id.empty()) {
        if (const char* known = m_sentIds.Note(c.login.user, id, kReceiptDelivered)) {
            SendReceipt(c, msg.recipient, id, known);
            return;
        }
        msg.names.push_back(id);
    }
    target.link->Send(msg);
    ++m_stats.delivered;
    if (!id.empty())
        SendReceipt(c, msg.recipient, id, kReceiptDelivered);
}

CRouter::CDelivery CRouter::DeliverOrStore(std::size_t key, CNetMessage& msg, CMailbox::CKept kept,
                                           CMailbox::CFailed failed)
{
    // On this node a message goes either live or into the store, never both:
    // a resend is caught by the sender's ids. (Between nodes it may come both
    // ways, see DeliverLive.)
    if (CConnection* target = m_presence.OnlineSession(msg.recipient)) {
        target->link->Send(msg);
        ++m_stats.delivered;
        return CDelivery::Delivered;
    }
    if (CCluster* cluster = m_presence.Cluster(); cluster && cluster->RemoteSession(msg.recipient)) {
        // Should the user have gone meanwhile, the record comes back and is
        // stored here.
        cluster->SendToUser(msg.recipient, msg, true);
        return CDelivery::Forwarded;
    }
    m_mailbox.Store(key, msg, std::move(kept), std::move(failed));
    return CDelivery::Storing;
}

void CRouter::DeliverLive(CConnection& target, const CNetMessage& msg)
{
    if (!msg.names.empty() && target.login.received.Add(msg.sender, msg.names.front(), kReceiptDelivered))
        return;
    target.link->Send(msg);
    ++m_stats.delivered;
}

void CRouter::Acknowledge(const std::string& sender, const std::string& recipient, const std::string& id,
                          const char* outcome)
{
    m_sentIds.Remember(sender, id, outcome);
    if (CConnection* c = m_presence.OnlineSession(sender))
        SendReceipt(*c, recipient, id, outcome);
}

void CRouter::SendReceipt(CConnection& sender, const std::string& recipient, const std::string& id,
                          const char* outcome)
{
    // It waits for the next record to its client, to share its write.
    sender.link->SendReceipt(recipient, sender.login.user, outcome, id);
}

void CRouter::TakeRemote(const std::string& user, CNetMessage& msg, std::function<void(CTakenAs)> taken)
{
    CConnection* c = m_presence.OnlineSession(user);
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
}

void CRouter::Taken(CNetMessage& msg, bool delivered)
{
    if (!msg.names.empty())
        Acknowledge(msg.sender, msg.recipient, msg.names.front(),
                    delivered ? kReceiptDelivered : kReceiptStored);
}

void CRouter::Undelivered(CNetMessage& msg)
{
    const std::string id = msg.names.empty() ? std::string() : msg.names.front();
    if (id.empty()) {
        StoreForAbsent(msg, [](CTakenAs) {});
        return;
    }
    StoreForAbsent(msg, [this, sender = msg.sender, recipient = msg.recipient, id](CTakenAs taken) {
        if (taken != CTakenAs::Failed)
            Acknowledge(sender, recipient, id,
                        taken == CTakenAs::Delivered ? kReceiptDelivered : kReceiptStored);
    });
}

void CRouter::StoreForAbsent(CNetMessage& msg, std::function<void(CTakenAs)> taken)
{
    if (m_connections.Stopping()) {
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
    m_mailbox.Store(
        KeyOf(sender), msg,
        [recipient, sender, taken](CMailbox::CKeptAs as) {
            if (as != CMailbox::CKeptAs::Kept)
                ServerLog("offline messages of " + recipient + " or from " + sender +
                          " at their quota; dropped one from " + sender);
            taken(as == CMailbox::CKeptAs::Kept ? CTakenAs::Stored : CTakenAs::Failed);
        },
        [recipient, taken](const std::string& reason) {
            ServerLog("store error while keeping a message for " + recipient + ": " + reason);
            taken(CTakenAs::Failed);
        });
}
