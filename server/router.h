#pragma once

#include "cluster.h"
#include "connection.h"
#include "mailbox.h"
#include "sentids.h"

#include <cstddef>
#include <functional>
#include <string>

class CPresence;
class CServerStats;
class CStoreRequests;

// Instant messages ("M") on their way to their recipient: live to a
// connection here or on another node, or into the mailbox, with receipts
// for those that carry their sender's id. What each id became is kept, so
// that a resend after a lost connection is answered again rather than
// delivered twice.
class CRouter
{
public:
    CRouter(CServerStats& stats, CStoreRequests& store, CConnections& connections, CPresence& presence,
            CMailbox& mailbox);
    CRouter(const CRouter&) = delete;
    CRouter& operator=(const CRouter&) = delete;

    // "M" from the user of `c`.
    void HandleMessage(CConnection& c, CNetMessage& msg);

    // What DeliverOrStore did with a message.
    enum class CDelivery {
        Delivered, // handed to the recipient's connection here
        Forwarded, // on its way to the recipient's node, which says what became of it
        Storing,   // on its way into the store; `kept` says what became of it
    };
    // Delivers `msg` (an "SM") live when the recipient is online, else keeps
    // it as an offline message, in the pending group of the lane `key`.
    CDelivery DeliverOrStore(std::size_t key, CNetMessage& msg, CMailbox::CKept kept,
                             CMailbox::CFailed failed);

    // `user` logged in again: what its client sent before may come again.
    void NewConnection(const std::string& user) { m_sentIds.NewConnection(user); }

    // The cluster's side: an "SM" for `user`, who was logged in here when
    // it was sent; one sent with an id that the recipient's node took; one
    // that nobody took.
    void TakeRemote(const std::string& user, CNetMessage& msg, std::function<void(CTakenAs)> taken);
    void Taken(CNetMessage& msg, bool delivered);
    void Undelivered(CNetMessage& msg);

private:
    void RouteMessage(CConnection& c, CNetMessage msg, const std::string& id);
    // Hands `msg`, with its `id` if any, to its recipient's connection
    // `target` here, and tells its sender on `c`.
    void DeliverHere(CConnection& c, CConnection& target, CNetMessage& msg, const std::string& id);
    // Hands an "SM" to a connection of its recipient, unless the login has
    // it already.
    void DeliverLive(CConnection& target, const CNetMessage& msg);
    // Keeps an offline message for a user who was expected on another node
    // and tells that user's subject once committed; delivers it instead
    // should the user have logged in here meanwhile.
    void StoreForAbsent(CNetMessage& msg, std::function<void(CTakenAs)> taken);
    // Receipts for messages that carry their sender's id (names[0] of the
    // "M"): Acknowledge remembers what became of the message and tells the
    // sender, when online here, with "MA".
    void Acknowledge(const std::string& sender, const std::string& recipient, const std::string& id,
                     const char* outcome);
    // The "MA" alone, for an outcome remembered already.
    void SendReceipt(CConnection& sender, const std::string& recipient, const std::string& id,
                     const char* outcome);

    CServerStats& m_stats;
    CStoreRequests& m_store;
    CConnections& m_connections;
    CPresence& m_presence;
    CMailbox& m_mailbox;
    CSentIds m_sentIds;
};
