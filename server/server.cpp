#include "server.h"

#include "commands.h"
#include "credentialrule.h"
#include "loopturn.h"
#include "serverlog.h"
#include "serversession.h"
#include "store/store.h"

#include <asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <vector>

namespace {

// Reading what the whole store holds takes a scan of it: a store at its
// quota reads it again at most this often.
constexpr std::chrono::seconds kStoreRecount(10);

} // namespace

CServer::CServer(asio::io_context& io, CStoreExecutor& stores, CPasswordHasher::Cost hashCost,
                 const CServerLimits& limits)
    : m_io(io), m_stats(io), m_limits(limits), m_store(stores, *this), m_admission(io, m_limits),
      m_presence(m_store, *this), m_hasher(io, hashCost), m_guard(m_limits), m_acceptor(io), m_flushTimer(io),
      m_shutdownTimer(io),
      m_storeBytes(std::make_shared<CWaitingBytes>(CUsageOf::All, std::string(), kStoreRecount))
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
    std::vector<std::shared_ptr<CClientLink>> sessions;
    for (const auto& [key, c] : m_connections)
        sessions.push_back(c.link);
    for (const auto& session : sessions) {
        session->Send(MakeRecord(Cmd::ServerShutdown));
        session->CloseAfterFlush();
    }
    m_shutdownTimer.expires_after(std::chrono::seconds(3));
    m_shutdownTimer.async_wait([this](const asio::error_code& error) {
        if (error)
            return;
        std::vector<std::shared_ptr<CClientLink>> left;
        for (const auto& [key, c] : m_connections)
            left.push_back(c.link);
        for (const auto& session : left)
            session->Close();
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

void CServer::HandshakeStarted(CServerSession& session)
{
    m_admission.HandshakeStarted(session);
}

bool CServer::ProxyHeaderRead(CServerSession& session)
{
    return m_admission.ProxyHeaderRead(session);
}

void CServer::HandshakeEnded(CServerSession& session)
{
    m_admission.HandshakeEnded(session);
}

void CServer::PreloginBuffered(CServerSession& session, std::size_t bytes)
{
    m_admission.PreloginBuffered(session, bytes);
}

void CServer::SessionClosing(CServerSession& session)
{
    m_admission.Closing(session);
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
    CConnection& c = it->second;
    try {
        // Before login only "L" and "R" are served; everything else waits
        // for nothing and is ignored.
        if (command == Cmd::Register)
            HandleRegister(c, msg);
        else if (c.login.user.empty()) {
            if (command == Cmd::Login)
                HandleLogin(c, msg);
        } else if (command == Cmd::Message)
            HandleMessage(c, msg);
        else if (command == Cmd::FriendsList)
            HandleFriendsList(c, msg);
        else if (command == Cmd::LoginComplete)
            HandleLoginComplete(c, msg);
        else if (command == Cmd::OfflineAck)
            HandleOfflineAck(c, msg);
        else if (command == Cmd::AddFriend)
            HandleAddFriend(c, msg);
        else if (command == Cmd::AcceptAndAdd)
            HandleFriendAnswer(c, msg, true);
        else if (command == Cmd::JustAccept)
            HandleFriendAnswer(c, msg, false);
        else if (command == Cmd::Decline)
            HandleDecline(c, msg);
        else if (command == Cmd::DeleteFriends)
            HandleDeleteFriends(c, msg);
        else if (command == Cmd::ChangePassword)
            HandleChangePassword(c, msg);
        else if (command == Cmd::BlockPermanently)
            HandleBlock(c, msg, true);
        else if (command == Cmd::BlockUntilLogoff)
            HandleBlock(c, msg, false);
        else if (command == Cmd::BlockedList)
            HandleBlockedList(c, msg);
        else if (command == Cmd::Unblock)
            HandleUnblock(c, msg);
        else if (command == Cmd::Logoff)
            HandleLogoff(c, msg);
        // A second "L" on a logged-in connection and unknown codes: ignored.
    } catch (const std::exception& error) {
        ServerLog("error while serving \"" + command + "\" from " + session.Peer() + ": " + error.what() +
                  "; closing");
        session.Close();
    } catch (...) {
        ServerLog("unknown error while serving \"" + command + "\" from " + session.Peer() + "; closing");
        session.Close();
    }
}

void CServer::CompleteLogin(CConnection& c, const std::string& name, bool endedElsewhere)
{
    // What the user's client sent before may come again now.
    m_sentIds.NewConnection(name);
    const bool announce = m_presence.Arrive(c, name, endedElsewhere);
    c.link->SetLoggedIn();
    ++m_stats.loginsSucceeded;
    m_admission.LeavePending(*c.link);
    m_presence.AnnounceSessionBlocks(c);
    CNetMessage accepted = MakeRecord(Cmd::LoginAccepted, {}, name);
    accepted.names.push_back(kReceiptsFeature);
    c.link->Send(accepted);
    m_presence.TellFriends(c, announce);
}

void CServer::LoginFailed(CConnection& c, const std::string& name)
{
    // The name goes into the log as sent only when it could be a name at
    // all; anything else could forge lines.
    ServerLog("login failed for " + (IsValidCredential(name) ? name : std::string("(invalid name)")) +
              " from " + PeerAddress(c.link->Peer()));
    ++m_stats.loginsFailed;
    c.link->Send(MakeRecord(Cmd::LoginFailed, "Invalid user name or password"));
    if (++c.login.failedLogins >= 10) {
        ServerLog("ten failed logins from " + c.link->Peer() + "; closing");
        c.link->CloseAfterFlush();
    }
}

CNetMessage CServer::QuotaFailure(const std::string& recipient, CKeptAs why)
{
    if (why == CKeptAs::SenderFull)
        return MakeRecord(Cmd::Failure, "You have too many messages waiting to be delivered");
    return MakeRecord(Cmd::Failure, "User " + recipient + " cannot receive more offline messages");
}

CServer::CDelivery CServer::DeliverOrStore(std::size_t key, CNetMessage& msg, CKept kept, CFailed failed)
{
    // On this node a message goes either live or into the store, never both:
    // a resend is caught by the sender's ids. (Between nodes it may come both
    // ways, see DeliverLive.)
    if (CConnection* target = m_presence.OnlineSession(msg.recipient)) {
        target->link->Send(msg);
        ++m_stats.delivered;
        return CDelivery::Delivered;
    }
    if (m_presence.Cluster() && m_presence.Cluster()->RemoteSession(msg.recipient)) {
        // Should the user have gone meanwhile, the record comes back and is
        // stored here.
        m_presence.Cluster()->SendToUser(msg.recipient, msg, true);
        return CDelivery::Forwarded;
    }
    StoreOffline(key, msg, std::move(kept), std::move(failed));
    return CDelivery::Storing;
}

namespace {

// What a message handed to the store became.
struct CStoreResult
{
    bool kept = false;
    bool senderFull = false; // refused over the sender's or the store's quota
    int64_t id = 0;          // 0: refused, or a resend kept already
    // What the store held for the recipient before, when asked.
    std::optional<CMessageUsage> before;
};

} // namespace

void CServer::StoreOffline(std::size_t key, CNetMessage& msg, CKept kept, CFailed failed)
{
    CStoredMessage stored;
    stored.sender = msg.sender;
    stored.recipient = msg.recipient;
    stored.time = static_cast<int32_t>(std::time(nullptr));
    if (!msg.names.empty())
        stored.clientId = msg.names.front();
    MoveWords(stored, msg);
    const std::size_t bytes = stored.text.size() + stored.faceName.size();
    // The quota is checked against what this node knows of the recipient's
    // messages; only the first store for a recipient asks the database.
    const auto [usage, first] = m_mailUsage.try_emplace(stored.recipient);
    if (first) {
        usage->second.generation = ++m_usageGeneration;
        usage->second.probe = std::make_shared<CUsageProbe>();
    }
    const uint64_t generation = usage->second.generation;
    const CMessageUsage counted = usage->second.usage; // before this message
    const std::shared_ptr<CUsageProbe> probe = usage->second.probe;
    const bool refused = usage->second.known && (counted.count >= m_limits.maxOfflineMessages ||
                                                 counted.bytes + bytes > m_limits.maxOfflineBytes);
    if (!refused) {
        ++usage->second.usage.count;
        usage->second.usage.bytes += bytes;
    }
    const std::string recipient = stored.recipient;
    auto& fromSender = m_senderBytes[stored.sender];
    if (!fromSender)
        fromSender =
            std::make_shared<CWaitingBytes>(CUsageOf::Sender, stored.sender, std::chrono::milliseconds(0));
    // A refusal goes the same way as a message kept, so that it is told
    // behind what the sender stored before.
    m_store.Request(
        key, true,
        [stored = std::move(stored), first = first, refused, bytes, counted, probe, fromSender,
         inStore = m_storeBytes, maxCount = m_limits.maxOfflineMessages, maxBytes = m_limits.maxOfflineBytes,
         senderQuota = m_limits.senderQuota, storeQuota = m_limits.storeQuota](CStore& store) {
            CStoreResult result;
            if (refused)
                return result;
            if (first) {
                result.before = store.MessageUsage(stored.recipient);
                probe->before = *result.before;
                probe->read.store(true, std::memory_order_release);
            }
            if (probe && probe->read.load(std::memory_order_acquire)) {
                const CMessageUsage& before = probe->before;
                if (before.count + counted.count >= maxCount || before.bytes + counted.bytes + bytes > maxBytes)
                    return result;
            }
            if (!fromSender->Take(store, bytes, senderQuota) || !inStore->Take(store, bytes, storeQuota)) {
                result.senderFull = true;
                return result;
            }
            result.kept = true;
            result.id = store.StoreMessage(stored);
            return result;
        },
        [this, recipient, refused, bytes, generation, kept = std::move(kept)](CStoreResult result) mutable {
            const auto usage = m_mailUsage.find(recipient);
            if (usage != m_mailUsage.end() && usage->second.generation == generation) {
                CMessageUsage& counted = usage->second.usage;
                if (result.before) {
                    counted.count += result.before->count;
                    counted.bytes += result.before->bytes;
                    usage->second.known = true;
                    usage->second.probe.reset();
                }
                if (!result.kept && !refused) {
                    --counted.count;
                    counted.bytes -= bytes;
                }
            }
            if (result.id > 0) {
                ++m_stats.stored;
                StoredFor(recipient, result.id);
            }
            kept(result.kept         ? CKeptAs::Kept
                 : result.senderFull ? CKeptAs::SenderFull
                                     : CKeptAs::RecipientFull);
        },
        [this, recipient, failed = std::move(failed)](const std::string& reason) mutable {
            m_mailUsage.erase(recipient); // it counted what was lost
            failed(reason);
        });
}

void CServer::StoredFor(const std::string& recipient, int64_t id)
{
    // A recipient who logged in here after the message was routed: the read
    // at login may have come before the commit.
    if (CConnection* target = m_presence.OnlineSession(recipient)) {
        FetchStored(*target, id);
        return;
    }
    if (!m_presence.Cluster())
        return;
    const auto [it, added] = m_storedNotices.try_emplace(recipient, id);
    if (!added)
        it->second = std::min(it->second, id);
    if (m_noticesPosted)
        return;
    m_noticesPosted = true;
    asio::post(m_io, [this] {
        m_noticesPosted = false;
        FlushStoredNotices();
    });
}

void CServer::DeliverLive(CConnection& target, const CNetMessage& msg)
{
    if (!msg.names.empty() && target.login.received.Add(msg.sender, msg.names.front(), kReceiptDelivered))
        return;
    target.link->Send(msg);
    ++m_stats.delivered;
}

void CServer::Acknowledge(const std::string& sender, const std::string& recipient, const std::string& id,
                          const char* outcome)
{
    m_sentIds.Remember(sender, id, outcome);
    if (CConnection* c = m_presence.OnlineSession(sender))
        SendReceipt(*c, recipient, id, outcome);
}

void CServer::SendReceipt(CConnection& sender, const std::string& recipient, const std::string& id,
                          const char* outcome)
{
    // It waits for the next record to its client, to share its write.
    sender.link->SendReceipt(recipient, sender.login.user, outcome, id);
}
