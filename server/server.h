#pragma once

#include "admission.h"
#include "cluster.h"
#include "connection.h"
#include "loginguard.h"
#include "passwordhasher.h"
#include "presence.h"
#include "sentids.h"
#include "serveroptions.h"
#include "serverrecords.h"
#include "serverstats.h"
#include "sessionhost.h"
#include "store/store.h"
#include "storerequests.h"
#include "uniquefunction.h"
#include "waitingbytes.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class CServerSession;
class CStore;
class CNetMessage;
struct CStoredMessage;

// The message router: accepts connections, knows who is online, and answers
// each record as its session hands it over. Everything runs on one
// io_context thread, which never waits: password hashing runs on workers
// (CPasswordHasher), and every store request on the store's own threads
// (CStoreExecutor), with its result handed back to the loop.
//
// A request that needs the store holds its connection (nothing more is read
// from it) until the answer is sent, so each connection's answers keep the
// order of its requests. Offline messages and their acknowledgements ("M" to
// someone offline, "ON") do not hold: they join the store's pending group,
// and their receipts go out once it is committed. The store commits that
// group before any later request of the same connection runs, so an answer
// never reports or follows a change that a crash could still undo.
// Routing and presence are served from memory, so they go on while the store
// is slow or away.
class CServer final : public CClusterListener, public CSessionHost, public CConnections
{
public:
    CServer(asio::io_context& io, CStoreExecutor& stores, CPasswordHasher::Cost hashCost,
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
    void UseCluster(CCluster& cluster) { m_presence.UseCluster(cluster); }

    // Stops accepting, sends "Z" to every connection and closes them once
    // the record is out (at most a few seconds for a client that does not
    // read); then calls `done` on the loop.
    void Shutdown(std::function<void()> done);

    // Called by sessions. A handler that fails in any way closes only the
    // connection it serves.
    void HandleRecord(CServerSession& session, CNetMessage& msg) override;
    void OnSessionClosed(CServerSession& session) override;
    // Who may come in, and what they may hold before login: CAdmission.
    void HandshakeStarted(CServerSession& session) override;
    bool ProxyHeaderRead(CServerSession& session) override;
    void HandshakeEnded(CServerSession& session) override;
    void PreloginBuffered(CServerSession& session, std::size_t bytes) override;
    void SessionClosing(CServerSession& session) override;
    // The session has written the page of its backlog it was given: the
    // next page of the user's offline messages, if any, is read.
    void BacklogTaken(CServerSession& session) override;
    // Puts `session` on the list of those whose records sent with SendSoon
    // wait: a tick of kFlushTick goes over it, and writes them on the second
    // tick unless a record sent meanwhile took them along. A receipt that
    // shows 10 to 20 ms later looks no different to its user, while under
    // load nearly every one then shares the write of a message to the same
    // client: one that goes alone costs a write here and a wake-up there. A
    // session stays on the list while receipts keep waiting in it, so that
    // under load a receipt costs no more than a look at its session's flags.
    void FlushSoon(CServerSession& session) override;
    static constexpr auto kFlushTick = std::chrono::milliseconds(10);

    std::size_t ConnectionCount() const { return m_connections.size(); }
    // The limits in force; maxConnections is resolved, never 0.
    const CServerLimits& Limits() const override { return m_limits; }
    // For tests: the hashing queue.
    CPasswordHasher& Hasher() { return m_hasher; }

    // The operator's side (adminhandlers.cpp), for the admin socket; on the
    // loop only. Each change calls `done` on the loop once: with an empty
    // reason when it is committed, else with the one line that says why not.
    // In a cluster a change reaches the other nodes as well.
    using CAdminDone = CUniqueFunction<void(const std::string& reason)>;
    // Every account, or those online on any node, sorted.
    std::vector<std::string> AccountNames(bool onlineOnly) const;
    void AdminSetPassword(const std::string& name, std::string password, CAdminDone done);
    void AdminSetLocked(const std::string& name, bool locked, CAdminDone done);
    void AdminDelete(const std::string& name, CAdminDone done);
    // Users logged in on this node.
    std::size_t OnlineCount() const { return m_presence.OnlineCount(); }
    const CServerStats& Stats() const { return m_stats; }
    const CCommitTimes& CommitTimes() const { return m_store.CommitTimes(); }

private:
    void Accept();
    void FinishShutdownIfIdle();
    CConnection* Find(const CWeakLink& weak) override;
    bool Stopping() const override { return m_stopping; }

    // Session state changes. A login whose password was right (`outcome`
    // set) goes ahead unless a newer login elsewhere superseded it; else it
    // failed. Resumes the session.
    void AnswerLogin(CConnection& c, const std::string& name, std::optional<CLoginOutcome> outcome);
    // `endedElsewhere`: the login ended a session on another node.
    void CompleteLogin(CConnection& c, const std::string& name, bool endedElsewhere);
    // Answers "FL" and logs the failure; `name` is the one the client tried.
    void LoginFailed(CConnection& c, const std::string& name);

    // One handler per request code (accounthandlers.cpp, friendhandlers.cpp,
    // messagehandlers.cpp).
    void HandleRegister(CConnection& c, CNetMessage& msg);
    void HandleLogin(CConnection& c, CNetMessage& msg);
    void HandleChangePassword(CConnection& c, CNetMessage& msg);
    void HandleFriendsList(CConnection& c, CNetMessage& msg);
    void HandleLoginComplete(CConnection& c, CNetMessage& msg);
    void HandleOfflineAck(CConnection& c, CNetMessage& msg);
    void HandleMessage(CConnection& c, CNetMessage& msg);
    void RouteMessage(CConnection& c, CNetMessage msg, const std::string& id);
    void HandleAddFriend(CConnection& c, CNetMessage& msg);
    void HandleFriendAnswer(CConnection& c, CNetMessage& msg, bool addBack);
    void HandleDecline(CConnection& c, CNetMessage& msg);
    void HandleDeleteFriends(CConnection& c, CNetMessage& msg);
    void HandleBlock(CConnection& c, CNetMessage& msg, bool permanent);
    void HandleBlockedList(CConnection& c, CNetMessage& msg);
    void HandleUnblock(CConnection& c, CNetMessage& msg);
    void HandleLogoff(CConnection& c, CNetMessage& msg);

    // What DeliverOrStore did with a message.
    enum class CDelivery
    {
        Delivered, // handed to the recipient's connection here
        Forwarded, // on its way to the recipient's node, which says what became of it
        Storing,   // on its way into the store; `kept` says what became of it
    };
    // What became of a message handed to the store: kept (or kept already,
    // for a resend), or refused over the recipient's quota, or over the
    // sender's or the whole store's.
    enum class CKeptAs {
        Kept,
        RecipientFull,
        SenderFull,
    };
    using CKept = CUniqueFunction<void(CKeptAs)>;
    using CFailed = CUniqueFunction<void(const std::string& reason)>;
    // Delivers `msg` (an "SM") live when the recipient is online, else keeps
    // it as an offline message stamped with the current time, in the pending
    // group of the lane `key`.
    CDelivery DeliverOrStore(std::size_t key, CNetMessage& msg, CKept kept, CFailed failed);
    // The storing half of DeliverOrStore. A resend of a message kept already
    // is not kept again, and counts as kept.
    void StoreOffline(std::size_t key, CNetMessage& msg, CKept kept, CFailed failed);
    // Notes that a message with `id` was committed for `recipient`, who then
    // hears of it: here when logged in here, else through the cluster.
    void StoredFor(const std::string& recipient, int64_t id);

    // Receipts for messages that carry their sender's id (names[0] of the
    // "M"): Acknowledge remembers what became of the message and tells the
    // sender, when online here, with "MA".
    void Acknowledge(const std::string& sender, const std::string& recipient, const std::string& id,
                     const char* outcome);
    // The "MA" alone, for an outcome remembered already.
    void SendReceipt(CConnection& sender, const std::string& recipient, const std::string& id,
                     const char* outcome);

    // The offline messages of the connection's user stored from `fromId` on
    // and not yet sent in this login, as "O" records followed by "OL", sent
    // behind everything else; reads again while notices come meanwhile.
    void FetchStored(CConnection& c, int64_t fromId);
    // One page of such a read, while `fetching` is set.
    void ReadPage(CConnection& c, int64_t fromId);
    // Sends a page as a backlog; `next`: where the next one starts, if any.
    void SendPage(CConnection& c, std::vector<CNetMessage> records, std::optional<int64_t> next);
    // The ids of the stored copies of messages the login already got live
    // go into `copies`, to be deleted. `last`: the last page of a read,
    // which "OL" ends.
    std::vector<CNetMessage> MailboxRecords(CLogin& login, std::vector<CStoredMessage> messages,
                                            std::vector<int64_t>& copies, bool last);
    void DeleteStoredCopies(const std::string& user, std::vector<int64_t> copies);
    // Hands an "SM" to a connection of its recipient, unless the login has
    // it already.
    void DeliverLive(CConnection& target, const CNetMessage& msg);

    // The cluster's side (clusterhandlers.cpp).
    void OnClusterRecord(const std::string& user, CNetMessage& msg, std::function<void(CTakenAs)> taken) override;
    void OnClusterTaken(CNetMessage& msg, bool delivered) override;
    void OnClusterUndelivered(CNetMessage& msg) override;
    void OnClusterKick(const std::string& user) override;
    void OnClusterStored(const std::string& user, int64_t fromId) override;
    void OnClusterUserGone(const std::string& user, const std::vector<std::string>& sessionBlocks) override;
    void OnClusterUserBack(const std::string& user) override;
    void OnClusterAccount(const std::string& name) override;
    void OnClusterBlock(const std::string& blocker, const std::string& blocked, bool added) override;
    void OnClusterAccountChanged(const std::string& name, CAccountChange change,
                                 const std::vector<std::string>& friendOf) override;
    // Ends the session of `name` on this node, if any, as a logoff that its
    // friends see, with "ZX" to its client.
    void EndSession(const std::string& name, const char* why);
    // Follows a deleted account: it goes from memory, and the owners of
    // `friendOf` logged in here see it leave.
    void AccountDeleted(const std::string& name, const std::vector<std::string>& friendOf);
    // How often the operator changed the account `name` (its password, a
    // lock, a delete) on any node since this one started.
    uint64_t OperatorChanges(const std::string& name) const;
    // Keeps an offline message for a user who was expected on another node
    // and tells that user's subject once committed; delivers it instead
    // should the user have logged in here meanwhile.
    void StoreForAbsent(CNetMessage& msg, std::function<void(CTakenAs)> taken);
    // Tells the recipients' nodes of offline messages committed for them.
    void FlushStoredNotices();
    // The failure that tells a sender that a message was refused `why`.
    static CNetMessage QuotaFailure(const std::string& recipient, CKeptAs why = CKeptAs::RecipientFull);

    asio::io_context& m_io;
    CServerStats m_stats;
    CServerLimits m_limits;
    std::unordered_map<const CClientLink*, CConnection> m_connections;
    CStoreRequests m_store;
    CAdmission m_admission;
    CPresence m_presence;
    CPasswordHasher m_hasher;
    CLoginGuard m_guard;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ssl::context* m_tls = nullptr;
    // Recipients of offline messages committed since the last flush, with
    // the least id of them; their nodes hear of it once per turn.
    std::unordered_map<std::string, int64_t> m_storedNotices;
    bool m_noticesPosted = false;
    // Sessions with records that wait for the flush tick.
    std::vector<std::weak_ptr<CServerSession>> m_flushSoon;
    asio::steady_timer m_flushTimer;
    bool m_flushArmed = false;
    void ArmFlushTimer();
    asio::steady_timer m_shutdownTimer;
    std::function<void()> m_shutdownDone;
    bool m_stopping = false;
    CSentIds m_sentIds;
    // Offline-message usage of recipients, kept from the first store for
    // them until they read or delete their messages (then read again). The
    // first store reads what the store held before; until that read is
    // back, only what this node stored meanwhile is known.
    // Until the first read is back, the stores behind it on the same lane
    // learn its result through the probe, so a burst to a new recipient
    // still keeps to the quota.
    struct CUsageProbe
    {
        CMessageUsage before;
        std::atomic<bool> read{false};
    };
    struct CMailUsage
    {
        CMessageUsage usage;
        bool known = false;
        uint64_t generation = 0; // which entry a store's result belongs to
        std::shared_ptr<CUsageProbe> probe;
    };
    std::unordered_map<std::string, CMailUsage> m_mailUsage;
    // See OperatorChanges; only the few accounts the operator changed.
    std::unordered_map<std::string, uint64_t> m_operatorChanges;
    // What senders, and all of them, have waiting in the store.
    std::unordered_map<std::string, std::shared_ptr<CWaitingBytes>> m_senderBytes;
    std::shared_ptr<CWaitingBytes> m_storeBytes;
    uint64_t m_usageGeneration = 0;
};
