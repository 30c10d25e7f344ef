// Who may come in and what they may hold before they log in: fair shares per
// address of the connections, the TLS handshakes and the memory of those who
// have not logged in yet, so that a crowd from some addresses cannot take
// the server from the others.

#include "server.h"
#include "serverlog.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace {

// Memory handed back to the allocator that makes a trim worth its while,
// and how long after the first of it the trim comes: a wave of closes ends
// within it, and the trim is paid once for the wave.
constexpr std::size_t kTrimAfter = std::size_t{1} << 20;
constexpr auto kTrimDelay = std::chrono::seconds(1);

// Descriptors kept free for the database, the log and the loop itself.
constexpr std::size_t kReservedFiles = 64;
// What one connection holds besides its send queue and its largest record:
// the session, its socket's state and, over TLS, the engine.
constexpr std::size_t kConnectionOverhead = 64 * 1024;

std::size_t ConnectionsForFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMaxDefaultConnections;
    const auto files = static_cast<std::size_t>(limit.rlim_cur);
    return files > 2 * kReservedFiles ? files - kReservedFiles : files / 2;
}

// The memory this process may use: the machine's, or less when its control
// group (a systemd unit's MemoryMax=, a container) says so.
std::size_t UsableMemory()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    std::size_t memory = pages > 0 && pageSize > 0 ? static_cast<std::size_t>(pages) * pageSize : 0;
    std::ifstream cgroup("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroup, line)) {
        if (line.rfind("0::", 0) != 0)
            continue;
        std::ifstream max("/sys/fs/cgroup" + line.substr(3) + "/memory.max");
        unsigned long long bytes = 0;
        if (max >> bytes && bytes > 0)
            memory = memory == 0 ? bytes : std::min<std::size_t>(memory, bytes);
    }
    return memory;
}

} // namespace

std::size_t DefaultMaxConnections(const CServerLimits& limits)
{
    // Every connection may hold a full send queue and a record of the
    // largest size at once; more than the memory holds so would only let a
    // crowd of them take the process down.
    const std::size_t perConnection = limits.maxQueuedBytes + kServerLimits.maxRecord + kConnectionOverhead;
    const std::size_t memory = UsableMemory();
    const std::size_t byMemory =
        memory > 0 ? std::max<std::size_t>(memory / perConnection, 1) : kMaxDefaultConnections;
    return std::min({byMemory, ConnectionsForFileLimit(), kMaxDefaultConnections});
}

bool CServer::HasShare(const std::string& address, const std::string& peer)
{
    if (IsLimited(m_limits, address) && m_pending.Count(address) >= m_limits.maxPendingPerAddress) {
        ServerLog(std::to_string(m_limits.maxPendingPerAddress) + " connections from " + address +
                  " have not logged in; refusing " + peer);
        return false;
    }
    return true;
}

bool CServer::MakeRoom(const std::string& peer)
{
    if (m_connections.size() < m_limits.maxConnections)
        return true;
    // Full: a connection that has not logged in makes room, from the address
    // that holds the most of them, so that a user from elsewhere always gets
    // in to register or log in.
    CServerSession* victim = m_pending.OldestOfLargest();
    if (!victim) {
        ServerLog("connection limit of " + std::to_string(m_limits.maxConnections) + " reached; refusing " +
                  peer);
        return false;
    }
    ServerLog("connection limit of " + std::to_string(m_limits.maxConnections) + " reached; closing " +
              victim->Peer() + ", which has not logged in, to take " + peer);
    victim->Close();
    return true;
}

bool CServer::ProxyHeaderRead(CServerSession& session)
{
    const auto it = m_connections.find(&session);
    if (it == m_connections.end() || !it->second.pending)
        return false;
    CConnection& c = it->second;
    // Until now it counted for the proxy, which speaks for many clients.
    m_pending.Remove(*c.pending);
    c.pending.reset();
    const std::string address = AddressKey(PeerAddress(session.Peer()));
    if (!HasShare(address, session.Peer())) {
        session.Close();
        return false;
    }
    c.pending = m_pending.Add(address, &session);
    return true;
}

void CServer::LeavePending(CConnection& c)
{
    if (c.pending) {
        m_pending.Remove(*c.pending);
        c.pending.reset();
    }
    PreloginBuffered(*c.session, 0);
}

void CServer::HandshakeStarted(CServerSession& session)
{
    const auto it = m_connections.find(&session);
    if (it == m_connections.end() || !it->second.pending)
        return;
    const std::string& address = it->second.pending->address;
    it->second.handshake = m_handshakes.Add(address, &session);
    CServerSession* oldest = nullptr;
    if (IsLimited(m_limits, address) && m_handshakes.Count(address) > m_limits.maxHandshakesPerAddress) {
        oldest = m_handshakes.Oldest(address);
        ServerLog("TLS handshakes under way from " + address + " over the limit of " +
                  std::to_string(m_limits.maxHandshakesPerAddress) + "; closing the oldest, with " +
                  oldest->Peer());
    } else if (m_handshakes.Total() > m_limits.maxHandshakes) {
        oldest = m_handshakes.OldestOfLargest();
        ServerLog("TLS handshakes under way over the limit of " + std::to_string(m_limits.maxHandshakes) +
                  "; closing the oldest of the address with the most, with " + oldest->Peer());
    }
    if (oldest)
        oldest->Close();
}

void CServer::HandshakeEnded(CServerSession& session)
{
    const auto it = m_connections.find(&session);
    if (it == m_connections.end() || !it->second.handshake)
        return;
    m_handshakes.Remove(*it->second.handshake);
    it->second.handshake.reset();
}

void CServer::PreloginBuffered(CServerSession& session, std::size_t bytes)
{
    const auto it = m_connections.find(&session);
    if (it == m_connections.end())
        return;
    CConnection& c = it->second;
    if (bytes > 0 && (!c.pending || !session.IsOpen()))
        return; // logged in, or closing
    if (c.prelogin == bytes)
        return;
    if (c.prelogin > 0) {
        m_preloginBySize.erase({c.prelogin, &session});
        m_preloginTotal -= c.prelogin;
    }
    if (bytes < c.prelogin)
        TrimSoon(c.prelogin - bytes);
    c.prelogin = bytes;
    if (bytes == 0)
        return;
    m_preloginBySize.emplace(bytes, &session);
    m_preloginTotal += bytes;
    while (m_preloginTotal > m_limits.preloginMemory) {
        CServerSession& largest = *m_preloginBySize.rbegin()->second;
        ServerLog("unfinished records before login hold over " +
                  std::to_string(m_limits.preloginMemory >> 20) + " MiB; closing " + largest.Peer() +
                  ", which holds " + std::to_string(m_preloginBySize.rbegin()->first) + " bytes");
        largest.Close(); // leaves the count at once
    }
}

void CServer::SessionClosing(CServerSession& session)
{
    HandshakeEnded(session);
    const auto it = m_connections.find(&session);
    if (it == m_connections.end())
        return;
    if (it->second.pending) {
        m_pending.Remove(*it->second.pending);
        it->second.pending.reset();
    }
    PreloginBuffered(session, 0);
}

void CServer::TrimSoon(std::size_t released)
{
    m_released += released;
    if (m_trimArmed || m_released < kTrimAfter)
        return;
    m_trimArmed = true;
    m_trimTimer.expires_after(kTrimDelay);
    m_trimTimer.async_wait([this](const asio::error_code& error) {
        m_trimArmed = false;
        if (error)
            return;
        // The buffers of many small connections lie scattered over the heap,
        // where the allocator keeps them for reuse; without this the
        // process would hold the peak of a flood for good.
        m_released = 0;
        ::malloc_trim(0);
    });
}
