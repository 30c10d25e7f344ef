#pragma once

#include "accounts.h"
#include "admin.h"
#include "admission.h"
#include "clusterevents.h"
#include "connection.h"
#include "friends.h"
#include "mailbox.h"
#include "presence.h"
#include "router.h"
#include "serverrecords.h"
#include "serverstats.h"
#include "sessionhost.h"
#include "storerequests.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class CServerSession;

// The message router, put together: it accepts connections, hands each
// record to the service that serves it, and ties the services to the
// sessions (CSessionHost, CConnections) and to the cluster (CClusterEvents).
// Everything runs on one io_context thread, which never waits: password
// hashing runs on workers (CPasswordHasher), and every store request on the
// store's own threads (CStoreExecutor), with its result handed back to the
// loop.
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
class CServer final : public CSessionHost, public CConnections
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
    // Makes this server one node of `cluster`, which must be made with
    // ClusterListener() as its listener, before Listen. Without one the
    // server is alone.
    CClusterListener& ClusterListener() { return m_clusterEvents; }
    void UseCluster(CCluster& cluster) { m_presence.UseCluster(cluster); }
    // Stops accepting, sends "Z" to every connection and closes them once
    // the record is out (at most a few seconds for a client that does not
    // read); then calls `done` on the loop.
    void Shutdown(std::function<void()> done);

    std::size_t ConnectionCount() const { return m_connections.size(); }
    // Users logged in on this node.
    std::size_t OnlineCount() const { return m_presence.OnlineCount(); }
    const CServerLimits& Limits() const override { return m_limits; }
    const CServerStats& Stats() const { return m_stats; }
    const CCommitTimes& CommitTimes() const { return m_store.CommitTimes(); }
    // The operator's side, for the admin socket.
    CAdmin& Admin() { return m_admin; }
    // For tests: the hashing queue.
    CPasswordHasher& Hasher() { return m_accounts.Hasher(); }

    // Receipts wait in their session for a tick of kFlushTick to go over
    // the list of such sessions, and are written on the second tick unless a
    // record sent meanwhile took them along. A receipt that shows 10 to 20 ms
    // later looks no different to its user, while under load nearly every one
    // then shares the write of a message to the same client: one that goes
    // alone costs a write here and a wake-up there. A session stays on the
    // list while receipts keep waiting in it, so that under load a receipt
    // costs no more than a look at its session's flags.
    static constexpr auto kFlushTick = std::chrono::milliseconds(10);

private:
    void HandleRecord(CServerSession& session, CNetMessage& msg) override;
    void OnSessionClosed(CServerSession& session) override;
    void SessionClosing(CServerSession& session) override;
    void HandshakeStarted(CServerSession& session) override;
    void HandshakeEnded(CServerSession& session) override;
    bool ProxyHeaderRead(CServerSession& session) override;
    void PreloginBuffered(CServerSession& session, std::size_t bytes) override;
    void BacklogTaken(CServerSession& session) override;
    void FlushSoon(CServerSession& session) override;
    CConnection* Find(const CWeakLink& link) override;
    bool Stopping() const override { return m_stopping; }

    void Accept();
    // Hands a record of a connection to the service that serves its command.
    void Dispatch(CConnection& c, const std::string& command, CNetMessage& msg);
    void FinishShutdownIfIdle();
    void ArmFlushTimer();

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
    CAdmin m_admin;
    CClusterEvents m_clusterEvents;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ssl::context* m_tls = nullptr;
    // Sessions with records that wait for the flush tick.
    std::vector<std::weak_ptr<CServerSession>> m_flushSoon;
    asio::steady_timer m_flushTimer;
    bool m_flushArmed = false;
    asio::steady_timer m_shutdownTimer;
    std::function<void()> m_shutdownDone;
    bool m_stopping = false;
};
