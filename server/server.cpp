#include "server.h"

#include "commands.h"
#include "loginguard.h"
#include "loopturn.h"
#include "serverlog.h"
#include "serversession.h"

#include <exception>
#include <utility>

CServer::CServer(asio::io_context& io, CStoreExecutor& stores, CPasswordHasher::Cost hashCost,
                 const CServerLimits& limits)
    : m_io(io), m_stats(io), m_limits(limits), m_store(stores, *this), m_admission(io, m_limits),
      m_presence(m_store, *this), m_mailbox(io, m_limits, m_stats, m_store, *this, m_presence),
      m_router(m_stats, m_store, *this, m_presence, m_mailbox),
      m_accounts(io, hashCost, m_limits, m_stats, m_store, *this, m_presence, m_router, m_admission),
      m_friends(m_limits, m_store, *this, m_presence, m_mailbox, m_router),
      m_admin(m_store, m_presence, m_accounts, m_mailbox),
      m_clusterEvents(m_presence, m_mailbox, m_router, m_friends, m_admin), m_acceptor(io), m_flushTimer(io),
      m_shutdownTimer(io)
{
    if (m_limits.maxConnections == 0)
        m_limits.maxConnections = DefaultMaxConnections(m_limits);
    // Before the loop runs, so the store's own lane is not yet busy.
    m_presence.Load(stores.FirstStore());
}

CServer::~CServer()
{
    // Workers may still post results that capture sessions; let them finish
    // before the sessions go.
    m_accounts.Hasher().Stop();
}

asio::ip::tcp::endpoint CServer::Listen(const std::string& address, uint16_t port)
{
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address), port);
    m_acceptor.open(endpoint.protocol());
    m_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    m_acceptor.bind(endpoint);
    m_acceptor.listen();
    Accept();
    return m_acceptor.local_endpoint();
}

void CServer::Accept()
{
    m_acceptor.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (m_stopping || !m_acceptor.is_open())
            return;
        if (!error) {
            asio::error_code ignored;
            const auto peer = socket.remote_endpoint(ignored);
            const std::string address = peer.address().to_string();
            const std::string name = address + ":" + std::to_string(peer.port());
            // A trusted proxy's connection counts for the client its header
            // names (ProxyHeaderRead); until then for the total alone.
            const bool proxied = IsTrustedProxy(m_limits, address);
            if (!m_admission.MayEnter(AddressKey(address), name, proxied, m_connections.size())) {
                socket.close(ignored);
            } else {
                auto session =
                    std::make_shared<CServerSession>(*this, m_tls ? CSessionStream(std::move(socket), *m_tls)
                                                                  : CSessionStream(std::move(socket)));
                if (proxied)
                    session->ExpectProxyHeader();
                m_connections[session.get()].link = session;
                m_admission.Entered(*session, AddressKey(address));
                session->Start();
            }
        } else if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space) {
            // Out of file descriptors: back off briefly instead of spinning.
            ServerLog("accept failed: " + error.message());
            auto timer = std::make_shared<asio::steady_timer>(m_io, std::chrono::milliseconds(100));
            timer->async_wait([this, timer](const asio::error_code&) { Accept(); });
            return;
        }
        Accept();
    });
}

void CServer::Shutdown(std::function<void()> done)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_shutdownDone = std::move(done);
    // The other nodes take this one's users for offline at once.
    m_presence.Leave();
    asio::error_code ignored;
    m_acceptor.close(ignored);
    std::vector<std::shared_ptr<CClientLink>> links;
    for (const auto& [key, c] : m_connections)
        links.push_back(c.link);
    for (const auto& link : links) {
        link->Send(MakeRecord(Cmd::ServerShutdown));
        link->CloseAfterFlush();
    }
    m_shutdownTimer.expires_after(std::chrono::seconds(3));
    m_shutdownTimer.async_wait([this](const asio::error_code& error) {
        if (error)
            return;
        std::vector<std::shared_ptr<CClientLink>> left;
        for (const auto& [key, c] : m_connections)
            left.push_back(c.link);
        for (const auto& link : left)
            link->Close();
        FinishShutdownIfIdle();
    });
    FinishShutdownIfIdle();
}

void CServer::FinishShutdownIfIdle()
{
    if (!m_stopping || !m_connections.empty() || !m_shutdownDone)
        return;
    m_shutdownTimer.cancel();
    // What is pending in the store is committed when its lanes end.
    auto done = std::move(m_shutdownDone);
    m_shutdownDone = nullptr;
    done();
}

CConnection* CServer::Find(const CWeakLink& weak)
{
    const auto link = weak.lock();
    if (!link || !link->IsOpen())
        return nullptr;
    const auto it = m_connections.find(link.get());
    return it == m_connections.end() ? nullptr : &it->second;
}

void CServer::OnSessionClosed(CServerSession& session)
{
    const CLoopTurn turn([&] { return "close of " + session.Peer(); });
    const auto it = m_connections.find(&session);
    if (it == m_connections.end())
        return;
    CConnection& c = it->second;
    try {
        if (!c.login.user.empty())
            m_presence.LogOff(c, "connection closed");
    } catch (const std::exception& error) {
        ServerLog("error while logging off " + c.login.user + ": " + error.what());
        m_presence.Drop(c);
    }
    m_admission.Closing(session);
    m_connections.erase(it);
    FinishShutdownIfIdle();
}

void CServer::SessionClosing(CServerSession& session)
{
    m_admission.Closing(session);
}

void CServer::HandshakeStarted(CServerSession& session)
{
    m_admission.HandshakeStarted(session);
}

void CServer::HandshakeEnded(CServerSession& session)
{
    m_admission.HandshakeEnded(session);
}

bool CServer::ProxyHeaderRead(CServerSession& session)
{
    return m_admission.ProxyHeaderRead(session);
}

void CServer::PreloginBuffered(CServerSession& session, std::size_t bytes)
{
    m_admission.PreloginBuffered(session, bytes);
}

void CServer::BacklogTaken(CServerSession& session)
{
    const auto it = m_connections.find(&session);
    if (it != m_connections.end() && session.IsOpen())
        m_mailbox.BacklogTaken(it->second);
}

void CServer::FlushSoon(CServerSession& session)
{
    m_flushSoon.push_back(session.weak_from_this());
    ArmFlushTimer();
}

void CServer::ArmFlushTimer()
{
    if (m_flushArmed || m_flushSoon.empty())
        return;
    m_flushArmed = true;
    m_flushTimer.expires_after(kFlushTick);
    m_flushTimer.async_wait([this](const asio::error_code& error) {
        m_flushArmed = false;
        if (error)
            return;
        // A flush starts a write, never a registration: the list may be
        // taken apart while it is gone over.
        std::vector<std::weak_ptr<CServerSession>> listed;
        listed.swap(m_flushSoon);
        for (auto& weak : listed)
            if (const auto session = weak.lock(); session && session->FlushTick())
                m_flushSoon.push_back(std::move(weak));
        ArmFlushTimer();
    });
}

void CServer::HandleRecord(CServerSession& session, CNetMessage& msg)
{
    // A copy: handlers may rewrite the record they are given.
    const std::string command = msg.command;
    const CLoopTurn turn([&] { return "record \"" + command.substr(0, 8) + "\" from " + session.Peer(); });
    const auto it = m_connections.find(&session);
    if (it == m_connections.end())
        return;
    try {
        Dispatch(it->second, command, msg);
    } catch (const std::exception& error) {
        ServerLog("error while serving \"" + command + "\" from " + session.Peer() + ": " + error.what() +
                  "; closing");
        session.Close();
    } catch (...) {
        ServerLog("unknown error while serving \"" + command + "\" from " + session.Peer() + "; closing");
        session.Close();
    }
}

void CServer::Dispatch(CConnection& c, const std::string& command, CNetMessage& msg)
{
    // Before login only "L" and "R" are served; everything else waits for
    // nothing and is ignored.
    if (command == Cmd::Register)
        m_accounts.Register(c, msg);
    else if (c.login.user.empty()) {
        if (command == Cmd::Login)
            m_accounts.Login(c, msg);
    } else if (command == Cmd::Message)
        m_router.HandleMessage(c, msg);
    else if (command == Cmd::FriendsList)
        m_friends.FriendsList(c);
    else if (command == Cmd::LoginComplete)
        m_mailbox.LoginComplete(c);
    else if (command == Cmd::OfflineAck)
        m_mailbox.OfflineAck(c, msg);
    else if (command == Cmd::AddFriend)
        m_friends.AddFriend(c, msg);
    else if (command == Cmd::AcceptAndAdd)
        m_friends.Answer(c, msg, true);
    else if (command == Cmd::JustAccept)
        m_friends.Answer(c, msg, false);
    else if (command == Cmd::Decline)
        m_friends.Decline(c, msg);
    else if (command == Cmd::DeleteFriends)
        m_friends.DeleteFriends(c, msg);
    else if (command == Cmd::ChangePassword)
        m_accounts.ChangePassword(c, msg);
    else if (command == Cmd::BlockPermanently)
        m_friends.Block(c, msg, true);
    else if (command == Cmd::BlockUntilLogoff)
        m_friends.Block(c, msg, false);
    else if (command == Cmd::BlockedList)
        m_friends.BlockedList(c);
    else if (command == Cmd::Unblock)
        m_friends.Unblock(c, msg);
    else if (command == Cmd::Logoff)
        m_accounts.Logoff(c);
    // A second "L" on a logged-in connection and unknown codes: ignored.
}
