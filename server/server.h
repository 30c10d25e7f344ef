#pragma once

#include "accounts.h"
#include "admission.h"
#include "cluster.h"
#include "connection.h"
#include "friends.h"
#include "mailbox.h"
#include "presence.h"
#include "router.h"
#include "serveroptions.h"
#include "serverrecords.h"
#include "serverstats.h"
#include "sessionhost.h"
#include "store/store.h"
#include "storerequests.h"
#include "uniquefunction.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

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
    // The session has written the page of its backlog it was given.
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
    CPasswordHasher& Hasher() { return m_accounts.Hasher(); }

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
    // Follows a deleted account: it goes from memory, and the owners of
    // `friendOf` logged in here see it leave.
    void AccountDeleted(const std::string& name, const std::vector<std::string>& friendOf);

    asio::io_context& m_io;
    CServerStats m_stats;
    CServerLimits m_limits;
    std::unordered_map<const CClientLink*, CConnection> m_connections;
    CStoreRequests m_store;
    CAdmission m_admission;
    CPresence m_presence;
    CMailbox m_mailbox;
    CRouter m_router;
    CAccounts m_accounts;
    CFriends m_friends;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ssl::context* m_tls = nullptr;
    // Sessions with records that wait for the flush tick.
    std::vector<std::weak_ptr<CServerSession>> m_flushSoon;
    asio::steady_timer m_flushTimer;
    bool m_flushArmed = false;
    void ArmFlushTimer();
    asio::steady_timer m_shutdownTimer;
    std::function<void()> m_shutdownDone;
    bool m_stopping = false;
};
