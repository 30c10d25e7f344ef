#pragma once

#include "cluster.h"
#include "loginguard.h"
#include "passwordhasher.h"
#include "routingtable.h"
#include "sentids.h"
#include "serveroptions.h"
#include "serversession.h"
#include "store/store.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class CStore;
class CNetMessage;

// The message router: accepts connections, knows who is online, and answers
// each record as its session hands it over. Everything runs on one
// io_context thread; only password hashing leaves it (CPasswordHasher).
//
// Offline messages and their acknowledgements are stored in groups: all that
// arrive in one turn of the loop are committed together by a handler posted
// behind them. Any other request first commits what is pending, so an answer
// never reports or follows a change that a crash could still undo.
class CServer : public CClusterListener
{
public:
    CServer(asio::io_context& io, CStore& store, CPasswordHasher::Cost hashCost,
            const CServerLimits& limits = {});
    ~CServer() override;
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Binds and starts accepting; returns the bound endpoint (the real port
    // when `port` is 0). Throws asio::system_error when it cannot listen.
    asio::ip::tcp::endpoint Listen(const std::string& address, uint16_t port);

    // From now on every accepted connection speaks TLS with `context`, which
    // must outlive the server.
    void UseTls(asio::ssl::context& context) { m_tls = &context; }

    // Makes this server one node of `cluster`, which must be made with this
    // server as its listener, before Listen. Without one the server is alone.
    void UseCluster(CCluster& cluster) { m_cluster = &cluster; }

    // Stops accepting, sends "Z" to every connection and closes them once
    // the record is out (at most a few seconds for a client that does not
    // read); then calls `done` on the loop.
    void Shutdown(std::function<void()> done);

    // Called by sessions. A handler that fails in any way closes only the
    // connection it serves.
    void HandleRecord(CServerSession& session, CNetMessage& msg);
    void OnSessionClosed(CServerSession& session);
    // A TLS handshake begins or ends. Until it ends OpenSSL holds about
    // 44 KB for it, which it cannot be made to release; past the limit of
    // handshakes under way, the one that has waited longest is closed, so
    // handshakes that stall cost a bounded amount together.
    void HandshakeStarted(CServerSession& session);
    void HandshakeEnded(CServerSession& session);

    std::size_t ConnectionCount() const { return m_sessions.size(); }
    // The limits in force; maxConnections is resolved, never 0.
    const CServerLimits& Limits() const { return m_limits; }
    // For tests: the hashing queue.
    CPasswordHasher& Hasher() { return m_hasher; }

private:
    void Accept();
    void FinishShutdownIfIdle();

    // Group commit: CommitLater notes that `writer` left changes pending and
    // posts one commit for the turn; CommitPending commits now. When the
    // commit fails the group is lost, and the connections that wrote it are
    // closed so that their clients learn of it.
    void CommitLater(CServerSession& writer);
    void CommitPending();

    // Session state changes.
    void CompleteLogin(CServerSession& session, const std::string& name);
    // Answers "FL" and logs the failure; `name` is the one the client tried.
    void LoginFailed(CServerSession& session, const std::string& name);
    void LogOff(CServerSession& session, const char* how);
    void SendPresence(const std::string& user, const char* command);

    // Lookups over the online table and both kinds of blocks. OnlineSession
    // is this node's session only; the others count users on every node.
    CServerSession* OnlineSession(const std::string& name) const;
    bool IsOnlineAnywhere(const std::string& name) const;
    // Whether the account exists; on another node's write not heard of yet,
    // the database decides.
    bool AccountKnown(const std::string& name);
    bool IsBlocked(const std::string& blocker, const std::string& blocked);
    bool IsVisiblyOnline(const std::string& user, const std::string& viewer);

    // One handler per request code (accounthandlers.cpp, friendhandlers.cpp,
    // messagehandlers.cpp).
    void HandleRegister(CServerSession& session, CNetMessage& msg);
    void HandleLogin(CServerSession& session, CNetMessage& msg);
    void HandleChangePassword(CServerSession& session, CNetMessage& msg);
    void HandleFriendsList(CServerSession& session, CNetMessage& msg);
    void HandleLoginComplete(CServerSession& session, CNetMessage& msg);
    void HandleOfflineAck(CServerSession& session, CNetMessage& msg);
    void HandleMessage(CServerSession& session, CNetMessage& msg);
    void HandleAddFriend(CServerSession& session, CNetMessage& msg);
    void HandleFriendAnswer(CServerSession& session, CNetMessage& msg, bool addBack);
    void HandleDecline(CServerSession& session, CNetMessage& msg);
    void HandleDeleteFriends(CServerSession& session, CNetMessage& msg);
    void HandleBlock(CServerSession& session, CNetMessage& msg, bool permanent);
    void HandleBlockedList(CServerSession& session, CNetMessage& msg);
    void HandleUnblock(CServerSession& session, CNetMessage& msg);
    void HandleLogoff(CServerSession& session, CNetMessage& msg);

    // What DeliverOrStore did with a message.
    enum class CDelivery
    {
        Delivered, // handed to the recipient's connection here
        Forwarded, // on its way to the recipient's node, which says what became of it
        Stored,    // joined the pending group
        OverQuota, // kept nowhere: the recipient's offline messages are full
    };
    // Delivers `msg` (an "SM") live when the recipient is online, else keeps
    // it as an offline message stamped with the current time.
    CDelivery DeliverOrStore(CNetMessage& msg);
    // The storing half of DeliverOrStore. False, keeping nothing, over the
    // recipient's quota. A resend of a message kept already is not kept
    // again, and counts as kept.
    bool StoreOffline(CNetMessage& msg);

    // Receipts for messages that carry their sender's id (names[0] of the
    // "M"): Acknowledge remembers what became of the message and tells the
    // sender, when online here, with "MA"; AcknowledgeStored does so once
    // the pending group is committed.
    void Acknowledge(const std::string& sender, const std::string& recipient, const std::string& id,
                     const char* outcome);
    void AcknowledgeStored(const std::string& sender, const std::string& recipient, const std::string& id);
    void SendStoredReceipts();
    // The offline messages of the session's user not yet sent in this login,
    // as "O" records; those from users it blocks are deleted instead.
    std::vector<CNetMessage> TakeOfflineMessages(CServerSession& session);

    // The cluster's side (clusterhandlers.cpp).
    CTakenAs OnClusterRecord(const std::string& user, CNetMessage& msg) override;
    void OnClusterTaken(CNetMessage& msg, bool delivered) override;
    void OnClusterUndelivered(CNetMessage& msg) override;
    void OnClusterKick(const std::string& user) override;
    void OnClusterStored(const std::string& user) override;
    void OnClusterUserGone(const std::string& user, const std::vector<std::string>& sessionBlocks) override;
    void OnClusterUserBack(const std::string& user) override;
    void OnClusterAccount(const std::string& name) override;
    void OnClusterBlock(const std::string& blocker, const std::string& blocked, bool added) override;
    // Keeps an offline message for a user who was expected on another node
    // and tells that user's subject, committed; delivers it instead should
    // the user have logged in here meanwhile.
    CTakenAs StoreForAbsent(CNetMessage& msg);
    // Tells the other nodes of the session blocks of `session`.
    void AnnounceSessionBlocks(CServerSession& session);
    // Tells the recipients' nodes of offline messages committed for them.
    void FlushStoredNotices();
    // The failure that tells a sender so.
    static CNetMessage QuotaFailure(const std::string& recipient);

    asio::io_context& m_io;
    CStore& m_store;
    CServerLimits m_limits;
    CPasswordHasher m_hasher;
    CLoginGuard m_guard;
    CRoutingTable m_routes;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ssl::context* m_tls = nullptr;
    CCluster* m_cluster = nullptr;
    // Recipients of offline messages stored since the last commit; their
    // nodes hear of it once it is committed.
    std::vector<std::string> m_storedNotices;
    asio::steady_timer m_shutdownTimer;
    std::unordered_map<CServerSession*, std::shared_ptr<CServerSession>> m_sessions;
    std::list<CServerSession*> m_handshakes; // TLS handshakes under way, oldest first
    std::unordered_map<std::string, std::shared_ptr<CServerSession>> m_online;
    std::function<void()> m_shutdownDone;
    bool m_stopping = false;
    bool m_commitPosted = false;
    std::vector<std::weak_ptr<CServerSession>> m_groupWriters;
    // Receipts owed for messages in the pending group: (sender, recipient,
    // id), sent once it is committed.
    struct CStoredReceipt
    {
        std::string sender;
        std::string recipient;
        std::string id;
    };
    std::vector<CStoredReceipt> m_storedReceipts;
    CSentIds m_sentIds;
    // Offline-message usage of recipients, kept from the first store for
    // them until they read or delete their messages (then read again).
    std::unordered_map<std::string, CMessageUsage> m_mailUsage;
};

// Builds a record with only a command and the given fields set; the other
// fields keep their constructed values.
CNetMessage MakeRecord(const char* command, std::string sender = {}, std::string recipient = {});

// The feature a login answer offers in its names: receipts for messages that
// carry an id.
inline constexpr char kReceiptsFeature[] = "receipts";
// The texts of "MA".
inline constexpr char kReceiptDelivered[] = "delivered";
inline constexpr char kReceiptStored[] = "stored";

// Moves the words of a message and how they look (text, face name, font,
// colour, size) from a record or a stored message to another.
template <typename TTo, typename TFrom> void MoveWords(TTo& to, TFrom& from)
{
    to.text = std::move(from.text);
    to.faceName = std::move(from.faceName);
    to.font = from.font;
    to.color = from.color;
    to.size = from.size;
}
