#pragma once

#include "serveroptions.h"

#include <chrono>
#include <deque>
#include <string>
#include <unordered_map>

// Limits on password guessing and account creation per peer address, across
// connections: too many failed logins for one name from one address, or for
// any names from one address, within the failure window lock further logins
// out for the lock-out time; an address may create only so many accounts in
// the registration window. Checks that are under way count as failures until
// they end, so a burst of parallel guesses gets no more tries than a row of
// them. Some peers can be exempt (see CServerLimits).
//
// Runs on the loop thread only; records that no rule needs any more are
// swept out once per failure window.
class CLoginGuard
{
public:
    using Clock = std::chrono::steady_clock;

    explicit CLoginGuard(const CServerLimits& limits) : m_limits(limits) {}

    // Addresses here are AddressKey()s. Whether the rules apply to
    // `address` at all.
    bool Applies(const std::string& address) const;

    // False while logins for `name` from `address` are locked out, or when
    // the checks under way would reach a limit.
    bool MayLogin(const std::string& address, const std::string& name, Clock::time_point now);
    // A check that MayLogin allowed has begun, and has ended.
    void LoginStarted(const std::string& address, const std::string& name);
    void LoginChecked(const std::string& address, const std::string& name, bool ok, Clock::time_point now);
    // A check that began ended without an outcome (the store failed, or no
    // worker took it): it no longer counts, as a failure or at all.
    void LoginAbandoned(const std::string& address, const std::string& name);
    // A login that failed without a check (a name or password that breaks
    // the credential rule).
    void LoginRejected(const std::string& address, const std::string& name, Clock::time_point now);

    bool MayRegister(const std::string& address, Clock::time_point now);
    void RegistrationStarted(const std::string& address);
    void RegistrationEnded(const std::string& address, bool created, Clock::time_point now);

private:
    struct CRecord
    {
        std::deque<Clock::time_point> events; // within the window, oldest first
        std::size_t inFlight = 0;
        Clock::time_point lockedUntil{};
    };

    static void Expire(CRecord& record, std::chrono::milliseconds window, Clock::time_point now);
    static bool Allows(CRecord& record, std::size_t max, std::chrono::milliseconds window,
                       Clock::time_point now);
    void Fail(CRecord& record, std::size_t max, Clock::time_point now);
    void Sweep(Clock::time_point now);
    CRecord* NameRecord(const std::string& address, const std::string& name);

    const CServerLimits& m_limits;
    std::unordered_map<std::string, CRecord> m_names; // address, '\n', name
    std::unordered_map<std::string, CRecord> m_addresses;
    std::unordered_map<std::string, CRecord> m_registrations;
    Clock::time_point m_nextSweep{};
};

// What the per-address rules count by: the address itself, but for IPv6 its
// /64 prefix ("2001:db8:1:2::/64"), which one host usually has whole.
std::string AddressKey(const std::string& address);

// The address part of a peer as CServerSession::Peer() gives it
// ("ADDRESS:PORT").
std::string PeerAddress(const std::string& peer);

// Whether the per-address rules apply to `address` (an AddressKey()), that
// is, whether it lies outside every range of limits.limitExempt.
bool IsLimited(const CServerLimits& limits, const std::string& address);

// Whether `address` is one of a proxy whose connections begin with a
// PROXY header (limits.trustedProxies).
bool IsTrustedProxy(const CServerLimits& limits, const std::string& address);

// A range as --limit-exempt and --trusted-proxy take it: "ADDRESS/PREFIX" or a single address,
// IPv4 or IPv6. InAddressRange says whether `address` lies in `range`.
bool IsAddressRange(const std::string& range);
bool InAddressRange(const std::string& range, const std::string& address);
