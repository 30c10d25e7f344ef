#pragma once

#include "addressshares.h"
#include "serveroptions.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

class CClientLink;

// The connections served at once unless --max-connections says otherwise:
// as many as the memory holds when each holds all it may, no more than the
// open-file limit allows, and never more than kMaxDefaultConnections (which
// the systemd unit's LimitNOFILE allows, with the descriptors the server
// keeps for itself).
inline constexpr std::size_t kMaxDefaultConnections = 65'536;
std::size_t DefaultMaxConnections(const CServerLimits& limits);

// Who may come in and what they may hold before they log in: fair shares per
// address of the connections, the TLS handshakes and the memory of those who
// have not logged in yet, so that a crowd from some addresses cannot take
// the server from the others.
class CAdmission
{
public:
    CAdmission(asio::io_context& io, const CServerLimits& limits);
    CAdmission(const CAdmission&) = delete;
    CAdmission& operator=(const CAdmission&) = delete;

    // Whether a connection from `address` may come in while `connections`
    // are open: not past its share of connections not logged in (unless
    // `proxied`: it counts for its client once the proxy's header named it),
    // and, when the server is full, once one not logged in from the address
    // with the most went. `peer` names it in the log.
    bool MayEnter(const std::string& address, const std::string& peer, bool proxied, std::size_t connections);
    // A connection came in from `address` (an AddressKey): it counts for it
    // until it logs in.
    void Entered(CClientLink& link, const std::string& address);
    // A trusted proxy's connection named its client, now its Peer(): it
    // counts for that address from now on. False when it was closed for it,
    // past that address's share.
    bool ProxyHeaderRead(CClientLink& link);
    // The connection logged in: it leaves the shares of those that have not.
    void LeavePending(CClientLink& link);
    // A TLS handshake begins or ends. Until it ends OpenSSL holds about
    // 44 KB for it, which it cannot be made to release; past the limit of
    // handshakes under way from one address, or on the whole, the oldest of
    // that address, or of the address with the most, is closed, so
    // handshakes that stall cost a bounded amount together and a flood from
    // one address does not cut the others'.
    void HandshakeStarted(CClientLink& link);
    void HandshakeEnded(CClientLink& link);
    // A connection that has not logged in holds `bytes` of an unfinished
    // record. Past the bound of all such bytes together, the connections
    // that hold the most are closed.
    void PreloginBuffered(CClientLink& link, std::size_t bytes);
    // The connection closed: it no longer counts for any share.
    void Closing(CClientLink& link);

private:
    // Its place among the connections not logged in, and among the TLS
    // handshakes under way, while it is one; the bytes of a record it holds
    // before login.
    struct CEntry
    {
        std::optional<CAddressShares::CPlace> pending;
        std::optional<CAddressShares::CPlace> handshake;
        std::size_t prelogin = 0;
    };

    bool HasShare(const std::string& address, const std::string& peer);
    bool MakeRoom(const std::string& peer, std::size_t connections);
    // Gives memory freed by connections back to the system a little later,
    // once a wave of them has gone.
    void TrimSoon(std::size_t released);

    const CServerLimits& m_limits;
    std::unordered_map<const CClientLink*, CEntry> m_entries;
    CAddressShares m_pending;    // connections not logged in
    CAddressShares m_handshakes; // TLS handshakes under way
    // The bytes held before login, by connection, and in all.
    std::set<std::pair<std::size_t, CClientLink*>> m_preloginBySize;
    std::size_t m_preloginTotal = 0;
    std::size_t m_released = 0; // since the memory was last trimmed
    asio::steady_timer m_trimTimer;
    bool m_trimArmed = false;
};
