#include "server.h"

#include "commands.h"
#include "credentialrule.h"
#include "loopturn.h"
#include "serverlog.h"
#include "store/store.h"

#include <asio/post.hpp>

#include <chrono>
#include <ctime>
#include <vector>

#include <sys/resource.h>

CNetMessage MakeRecord(const char* command, std::string sender, std::string recipient)
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = std::move(sender);
    msg.recipient = std::move(recipient);
    return msg;
}

namespace {

// Descriptors kept free for the database, the log and the loop itself.
constexpr std::size_t kReservedFiles = 64;

std::size_t ConnectionsForFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1'000'000;
    const auto files = static_cast<std::size_t>(limit.rlim_cur);
    return files > 2 * kReservedFiles ? files - kReservedFiles : files / 2;
}

} // namespace

CServer::CServer(asio::io_context& io, CStore& store, CPasswordHasher::Cost hashCost,
                 const CServerLimits& limits)
    : m_io(io), m_store(store), m_limits(limits), m_hasher(io, hashCost), m_guard(m_limits), m_acceptor(io),
      m_shutdownTimer(io)
{
    if (m_limits.maxConnections == 0)
        m_limits.maxConnections = ConnectionsForFileLimit();
    m_routes.Load(store);
}

CServer::~CServer()
{
    // Workers may still post results that capture sessions; let them finish
    // before the sessions go.
    m_hasher.Stop();
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
        if (!error && m_sessions.size() >= m_limits.maxConnections) {
            asio::error_code ignored;
            const auto peer = socket.remote_endpoint(ignored);
            ServerLog("connection limit of " + std::to_string(m_limits.maxConnections) +
                      " reached; refusing " + peer.address().to_string() + ":" + std::to_string(peer.port()));
            socket.close(ignored);
        } else if (!error) {
            auto session = std::make_shared<CServerSession>(
                *this, m_tls ? CSessionStream(std::move(socket), *m_tls) : CSessionStream(std::move(socket)));
            m_sessions.emplace(session.get(), session);
            session->Start();
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
    if (m_cluster)
        m_cluster->Leave();
    asio::error_code ignored;
    m_acceptor.close(ignored);
    std::vector<std::shared_ptr<CServerSession>> sessions;
    for (const auto& [key, session] : m_sessions)
        sessions.push_back(session);
    for (const auto& session : sessions) {
        session->Send(MakeRecord(Cmd::ServerShutdown));
        session->CloseAfterFlush();
    }
    m_shutdownTimer.expires_after(std::chrono::seconds(3));
    m_shutdownTimer.async_wait([this](const asio::error_code& error) {
        if (error)
            return;
        std::vector<std::shared_ptr<CServerSession>> left;
        for (const auto& [key, session] : m_sessions)
            left.push_back(session);
        for (const auto& session : left)
            session->Close();
        FinishShutdownIfIdle();
    });
    FinishShutdownIfIdle();
}

void CServer::FinishShutdownIfIdle()
{
    if (!m_stopping || !m_sessions.empty() || !m_shutdownDone)
        return;
    m_shutdownTimer.cancel();
    CommitPending();
    auto done = std::move(m_shutdownDone);
    m_shutdownDone = nullptr;
    done();
}

void CServer::OnSessionClosed(CServerSession& session)
{
    const CLoopTurn turn([&] { return "close of " + session.Peer(); });
    try {
        if (session.IsLoggedIn())
            LogOff(session, "connection closed");
    } catch (const std::exception& error) {
        ServerLog("error while logging off " + session.User() + ": " + error.what());
        const auto it = m_online.find(session.User());
        if (it != m_online.end() && it->second.get() == &session)
            m_online.erase(it);
    }
    m_sessions.erase(&session);
    FinishShutdownIfIdle();
}

void CServer::HandshakeStarted(CServerSession& session)
{
    session.m_handshake = m_handshakes.insert(m_handshakes.end(), &session);
    if (m_handshakes.size() <= m_limits.maxHandshakes)
        return;
    CServerSession& oldest = *m_handshakes.front();
    ServerLog("TLS handshakes under way over the limit of " + std::to_string(m_limits.maxHandshakes) +
              "; closing the oldest, with " + oldest.Peer());
    oldest.Close();
}

void CServer::HandshakeEnded(CServerSession& session)
{
    if (!session.m_handshake)
        return;
    m_handshakes.erase(*session.m_handshake);
    session.m_handshake.reset();
}

void CServer::CommitLater(CServerSession& writer)
{
    if (m_groupWriters.empty() || m_groupWriters.back().lock().get() != &writer)
        m_groupWriters.push_back(writer.weak_from_this());
    if (m_commitPosted)
        return;
    m_commitPosted = true;
    // Posted behind the handlers that are ready now, so one commit covers
    // every record read in this turn.
    asio::post(m_io, [this] {
        const CLoopTurn turn([] { return std::string("group commit of offline messages"); });
        m_commitPosted = false;
        CommitPending();
    });
}

void CServer::CommitPending()
{
    if (!m_store.HasPending()) {
        m_groupWriters.clear();
        SendStoredReceipts();
        FlushStoredNotices();
        return;
    }
    auto writers = std::move(m_groupWriters);
    m_groupWriters.clear();
    try {
        m_store.CommitPending();
        SendStoredReceipts();
        FlushStoredNotices();
    } catch (const CStoreError& error) {
        m_mailUsage.clear(); // it counted the lost group
        m_storedNotices.clear();
        m_storedReceipts.clear(); // their clients send them again
        ServerLog("store error while committing offline messages: " + std::string(error.what()) +
                  "; closing the " + std::to_string(writers.size()) + " connection(s) that sent them");
        for (const auto& writer : writers)
            if (const auto session = writer.lock())
                session->Close();
    }
}

void CServer::HandleRecord(CServerSession& session, CNetMessage& msg)
{
    // A copy: handlers may rewrite the record they are given.
    const std::string c = msg.command;
    const CLoopTurn turn([&] { return "record \"" + c.substr(0, 8) + "\" from " + session.Peer(); });
    // Only "M" and "ON" may leave changes pending; everything else may
    // answer, so it comes after their commit.
    if (c != Cmd::Message && c != Cmd::OfflineAck) {
        CommitPending();
        if (!session.IsOpen())
            return; // it was one of the writers of a group that failed
    }
    try {
        // Before login only "L" and "R" are served; everything else waits
        // for nothing and is ignored.
        if (c == Cmd::Register)
            HandleRegister(session, msg);
        else if (!session.IsLoggedIn()) {
            if (c == Cmd::Login)
                HandleLogin(session, msg);
        } else if (c == Cmd::Message)
            HandleMessage(session, msg);
        else if (c == Cmd::FriendsList)
            HandleFriendsList(session, msg);
        else if (c == Cmd::LoginComplete)
            HandleLoginComplete(session, msg);
        else if (c == Cmd::OfflineAck)
            HandleOfflineAck(session, msg);
        else if (c == Cmd::AddFriend)
            HandleAddFriend(session, msg);
        else if (c == Cmd::AcceptAndAdd)
            HandleFriendAnswer(session, msg, true);
        else if (c == Cmd::JustAccept)
            HandleFriendAnswer(session, msg, false);
        else if (c == Cmd::Decline)
            HandleDecline(session, msg);
        else if (c == Cmd::DeleteFriends)
            HandleDeleteFriends(session, msg);
        else if (c == Cmd::ChangePassword)
            HandleChangePassword(session, msg);
        else if (c == Cmd::BlockPermanently)
            HandleBlock(session, msg, true);
        else if (c == Cmd::BlockUntilLogoff)
            HandleBlock(session, msg, false);
        else if (c == Cmd::BlockedList)
            HandleBlockedList(session, msg);
        else if (c == Cmd::Unblock)
            HandleUnblock(session, msg);
        else if (c == Cmd::Logoff)
            HandleLogoff(session, msg);
        // A second "L" on a logged-in connection and unknown codes: ignored.
    } catch (const CStoreError& error) {
        ServerLog("store error while serving " + session.Peer() + ": " + error.what() + "; closing");
        session.Close();
    } catch (const std::exception& error) {
        ServerLog("error while serving \"" + c + "\" from " + session.Peer() + ": " + error.what() +
                  "; closing");
        session.Close();
    } catch (...) {
        ServerLog("unknown error while serving \"" + c + "\" from " + session.Peer() + "; closing");
        session.Close();
    }
    if (m_store.HasPending() || !m_storedReceipts.empty())
        CommitLater(session);
    else
        FlushStoredNotices();
}

void CServer::CompleteLogin(CServerSession& session, const std::string& name)
{
    const auto self = session.shared_from_this();
    auto it = m_online.find(name);
    const bool wasOnline = it != m_online.end();
    // Also when no node is known to serve the user: one may be logging the
    // user in right now.
    const bool endedElsewhere = m_cluster && m_cluster->Kick(name);
    const bool elsewhere = !wasOnline && m_cluster && (endedElsewhere || m_cluster->RemoteSession(name));
    if (wasOnline) {
        // The older session ends; the user stays online through this one, so
        // nobody sees the user go offline and come back.
        const auto old = it->second;
        ServerLog("login " + name + " from " + session.Peer() + " ends the session from " + old->Peer());
        old->SetUser({});
        old->m_sessionBlocks.clear();
        old->Send(MakeRecord(Cmd::AdminLogoff));
        old->CloseAfterFlush();
        it->second = self;
    } else {
        ServerLog("login " + name + " from " + session.Peer() +
                  (elsewhere ? ", ending a session on another node" : ""));
        m_online.emplace(name, self);
    }
    session.SetUser(name);
    session.m_loginComplete = false;
    session.m_sessionBlocks.clear();
    session.m_deliveredIds.clear();
    session.m_deliveredRequests.clear();
    if (m_cluster)
        m_cluster->UserOnline(name, {});
    CNetMessage accepted = MakeRecord(Cmd::LoginAccepted, {}, name);
    accepted.names.push_back(kReceiptsFeature);
    session.Send(accepted);
    if (!wasOnline && !elsewhere)
        SendPresence(name, Cmd::FriendOnline);
}

void CServer::LoginFailed(CServerSession& session, const std::string& name)
{
    // The name goes into the log as sent only when it could be a name at
    // all; anything else could forge lines.
    ServerLog("login failed for " + (IsValidCredential(name) ? name : std::string("(invalid name)")) +
              " from " + PeerAddress(session.Peer()));
    session.Send(MakeRecord(Cmd::LoginFailed, "Invalid user name or password"));
    if (++session.m_failedLogins >= 10) {
        ServerLog("ten failed logins from " + session.Peer() + "; closing");
        session.CloseAfterFlush();
    }
}

void CServer::LogOff(CServerSession& session, const char* how)
{
    const std::string user = session.User();
    auto it = m_online.find(user);
    if (it != m_online.end() && it->second.get() == &session) {
        // The other nodes hear of it before the friends do, so that a
        // message a friend writes on seeing "SX" is stored, not sent after.
        if (m_cluster)
            m_cluster->UserOffline(user);
        // Presence first: the session's own blocks still count for it.
        if (!m_stopping)
            SendPresence(user, Cmd::FriendOffline);
        m_online.erase(it);
        ServerLog("logoff " + user + " (" + how + ")");
    }
    session.SetUser({});
    session.m_sessionBlocks.clear();
}

void CServer::SendPresence(const std::string& user, const char* command)
{
    for (const auto& owner : m_store.FriendOf(user)) {
        if (owner == user)
            continue;
        CServerSession* target = OnlineSession(owner);
        if (target && !IsBlocked(user, owner))
            target->Send(MakeRecord(command, user));
        // Whether the owner is online elsewhere is not asked: one may be
        // logging in on another node right now, and its node knows.
        else if (!target && m_cluster && !IsBlocked(user, owner))
            m_cluster->SendToUser(owner, MakeRecord(command, user), false);
    }
}

CServerSession* CServer::OnlineSession(const std::string& name) const
{
    auto it = m_online.find(name);
    return it == m_online.end() ? nullptr : it->second.get();
}

bool CServer::IsOnlineAnywhere(const std::string& name) const
{
    return OnlineSession(name) || (m_cluster && m_cluster->RemoteSession(name));
}

bool CServer::AccountKnown(const std::string& name)
{
    if (m_routes.HasAccount(name))
        return true;
    if (!m_cluster || !m_store.AccountExists(name))
        return false;
    m_routes.AddAccount(name);
    return true;
}

bool CServer::IsBlocked(const std::string& blocker, const std::string& blocked)
{
    const std::vector<std::string>* sessionBlocks = nullptr;
    if (const CServerSession* session = OnlineSession(blocker))
        sessionBlocks = &session->m_sessionBlocks;
    else if (m_cluster)
        sessionBlocks = m_cluster->RemoteSession(blocker);
    if (sessionBlocks) {
        for (const auto& name : *sessionBlocks)
            if (name == blocked)
                return true;
    }
    return m_routes.IsBlocked(blocker, blocked);
}

bool CServer::IsVisiblyOnline(const std::string& user, const std::string& viewer)
{
    return IsOnlineAnywhere(user) && !IsBlocked(user, viewer);
}

CNetMessage CServer::QuotaFailure(const std::string& recipient)
{
    return MakeRecord(Cmd::Failure, "User " + recipient + " cannot receive more offline messages");
}

CServer::CDelivery CServer::DeliverOrStore(CNetMessage& msg)
{
    if (CServerSession* target = OnlineSession(msg.recipient)) {
        target->Send(msg);
        return CDelivery::Delivered;
    }
    if (m_cluster && m_cluster->RemoteSession(msg.recipient)) {
        // Should the user have gone meanwhile, the record comes back and is
        // stored here.
        m_cluster->SendToUser(msg.recipient, msg, true);
        return CDelivery::Forwarded;
    }
    return StoreOffline(msg) ? CDelivery::Stored : CDelivery::OverQuota;
}

bool CServer::StoreOffline(CNetMessage& msg)
{
    auto usage = m_mailUsage.find(msg.recipient);
    if (usage == m_mailUsage.end())
        usage = m_mailUsage.emplace(msg.recipient, m_store.MessageUsage(msg.recipient)).first;
    const std::size_t bytes = msg.text.size() + msg.faceName.size();
    if (usage->second.count >= m_limits.maxOfflineMessages ||
        usage->second.bytes + bytes > m_limits.maxOfflineBytes)
        return false;
    CStoredMessage stored;
    stored.sender = msg.sender;
    stored.recipient = msg.recipient;
    stored.time = static_cast<int32_t>(std::time(nullptr));
    if (!msg.names.empty())
        stored.clientId = msg.names.front();
    MoveWords(stored, msg);
    if (m_store.StoreMessage(stored) == 0)
        return true; // a resend: the first copy is kept already
    ++usage->second.count;
    usage->second.bytes += bytes;
    if (m_cluster)
        m_storedNotices.push_back(stored.recipient);
    return true;
}

void CServer::Acknowledge(const std::string& sender, const std::string& recipient, const std::string& id,
                          const char* outcome)
{
    m_sentIds.Remember(sender, id, outcome);
    if (CServerSession* session = OnlineSession(sender)) {
        CNetMessage receipt = MakeRecord(Cmd::MessageAck, recipient, sender);
        receipt.text = outcome;
        receipt.names.push_back(id);
        session->Send(receipt);
    }
}

void CServer::AcknowledgeStored(const std::string& sender, const std::string& recipient, const std::string& id)
{
    m_storedReceipts.push_back({sender, recipient, id});
}

void CServer::SendStoredReceipts()
{
    auto receipts = std::move(m_storedReceipts);
    m_storedReceipts.clear();
    for (const auto& receipt : receipts)
        Acknowledge(receipt.sender, receipt.recipient, receipt.id, kReceiptStored);
}
