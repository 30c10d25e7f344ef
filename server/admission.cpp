// Who may come in and what they may hold before they log in: fair shares per
// address of the connections, the TLS handshakes and the memory of those who
// have not logged in yet, so that a crowd from some addresses cannot take
// the server from the others.

#include "admission.h"

#include "archive.h"
#include "clientlink.h"
#include "loginguard.h"
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

CAdmission::CAdmission(asio::io_context& io, const CServerLimits& limits) : m_limits(limits), m_trimTimer(io)
{
}

bool CAdmission::MayEnter(const std::string& address, const std::string& peer, bool proxied,
                          std::size_t connections)
{
    return (proxied || HasShare(address, peer)) && MakeRoom(peer, connections);
}

void CAdmission::Entered(CClientLink& link, const std::string& address)
{
    m_entries[&link].pending = m_pending.Add(address, &link);
}

bool CAdmission::HasShare(const std::string& address, const std::string& peer)
{
    if (IsLimited(m_limits, address) && m_pending.Count(address) >= m_limits.maxPendingPerAddress) {
        ServerLog(std::to_string(m_limits.maxPendingPerAddress) + " connections from " + address +
                  " have not logged in; refusing " + peer);
        return false;
    }
    return true;
}

bool CAdmission::MakeRoom(const std::string& peer, std::size_t connections)
{
    if (connections < m_limits.maxConnections)
        return true;
    // Full: a connection that has not logged in makes room, from the address
    // that holds the most of them, so that a user from elsewhere always gets
    // in to register or log in.
    CClientLink* victim = m_pending.OldestOfLargest();
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

bool CAdmission::ProxyHeaderRead(CClientLink& link)
{
    const auto it = m_entries.find(&link);
    if (it == m_entries.end() || !it->second.pending)
        return false;
    CEntry& entry = it->second;
    // Until now it counted for the proxy, which speaks for many clients.
    m_pending.Remove(*entry.pending);
    entry.pending.reset();
    const std::string address = AddressKey(PeerAddress(link.Peer()));
    if (!HasShare(address, link.Peer())) {
        link.Close();
        return false;
    }
    entry.pending = m_pending.Add(address, &link);
    return true;
}

void CAdmission::LeavePending(CClientLink& link)
{
    const auto it = m_entries.find(&link);
    if (it != m_entries.end() && it->second.pending) {
        m_pending.Remove(*it->second.pending);
        it->second.pending.reset();
    }
    PreloginBuffered(link, 0);
}

void CAdmission::HandshakeStarted(CClientLink& link)
{
    const auto it = m_entries.find(&link);
    if (it == m_entries.end() || !it->second.pending)
        return;
    const std::string& address = it->second.pending->address;
    it->second.handshake = m_handshakes.Add(address, &link);
    CClientLink* oldest = nullptr;
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

void CAdmission::HandshakeEnded(CClientLink& link)
{
    const auto it = m_entries.find(&link);
    if (it == m_entries.end() || !it->second.handshake)
        return;
    m_handshakes.Remove(*it->second.handshake);
    it->second.handshake.reset();
}

void CAdmission::PreloginBuffered(CClientLink& link, std::size_t bytes)
{
    const auto it = m_entries.find(&link);
    if (it == m_entries.end())
        return;
    CEntry& entry = it->second;
    if (bytes > 0 && (!entry.pending || !link.IsOpen()))
        return; // logged in, or closing
    if (entry.prelogin == bytes)
        return;
    if (entry.prelogin > 0) {
        m_preloginBySize.erase({entry.prelogin, &link});
        m_preloginTotal -= entry.prelogin;
    }
    if (bytes < entry.prelogin)
        TrimSoon(entry.prelogin - bytes);
    entry.prelogin = bytes;
    if (bytes == 0)
        return;
    m_preloginBySize.emplace(bytes, &link);
    m_preloginTotal += bytes;
    while (m_preloginTotal > m_limits.preloginMemory) {
        CClientLink& largest = *m_preloginBySize.rbegin()->second;
        ServerLog("unfinished records before login hold over " +
                  std::to_string(m_limits.preloginMemory >> 20) + " MiB; closing " + largest.Peer() +
                  ", which holds " + std::to_string(m_preloginBySize.rbegin()->first) + " bytes");
        largest.Close(); // leaves the count at once
    }
}

void CAdmission::Closing(CClientLink& link)
{
    HandshakeEnded(link);
    const auto it = m_entries.find(&link);
    if (it == m_entries.end())
        return;
    if (it->second.pending) {
        m_pending.Remove(*it->second.pending);
        it->second.pending.reset();
    }
    PreloginBuffered(link, 0);
    m_entries.erase(&link);
}

void CAdmission::TrimSoon(std::size_t released)
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
