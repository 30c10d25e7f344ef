#include "loginguard.h"

#include "credentialrule.h"

#include <asio/ip/address.hpp>
#include <asio/ip/network_v4.hpp>
#include <asio/ip/network_v6.hpp>

#include <algorithm>

std::string PeerAddress(const std::string& peer)
{
    const auto colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
}

std::string AddressKey(const std::string& address)
{
    asio::error_code error;
    const auto parsed = asio::ip::make_address(address, error);
    if (error || !parsed.is_v6() || parsed.to_v6().is_v4_mapped() || parsed.is_loopback())
        return address;
    auto bytes = parsed.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

bool IsAddressRange(const std::string& range)
{
    asio::error_code error;
    if (range.find('/') == std::string::npos)
        asio::ip::make_address(range, error);
    else if (range.find(':') == std::string::npos)
        asio::ip::make_network_v4(range, error);
    else
        asio::ip::make_network_v6(range, error);
    return !error;
}

bool InAddressRange(const std::string& range, const std::string& address)
{
    asio::error_code error;
    auto parsed = asio::ip::make_address(address.substr(0, address.find('/')), error);
    if (error)
        return false;
    // A client on IPv4 reaching a dual-stack socket shows up as ::ffff:a.b.c.d.
    if (parsed.is_v6() && parsed.to_v6().is_v4_mapped())
        parsed = asio::ip::make_address_v4(asio::ip::v4_mapped, parsed.to_v6());
    if (range.find('/') == std::string::npos)
        return asio::ip::make_address(range, error) == parsed && !error;
    if (range.find(':') == std::string::npos) {
        const auto network = asio::ip::make_network_v4(range, error);
        return !error && parsed.is_v4() &&
               asio::ip::network_v4(parsed.to_v4(), network.prefix_length()).canonical() ==
                   network.canonical();
    }
    const auto network = asio::ip::make_network_v6(range, error);
    return !error && parsed.is_v6() &&
           asio::ip::network_v6(parsed.to_v6(), network.prefix_length()).canonical() == network.canonical();
}

bool CLoginGuard::Applies(const std::string& address) const
{
    return IsLimited(m_limits, address);
}

namespace {

bool InAnyRange(const std::vector<std::string>& ranges, const std::string& address)
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const std::string& range) { return InAddressRange(range, address); });
}

} // namespace

bool IsLimited(const CServerLimits& limits, const std::string& address)
{
    return !InAnyRange(limits.limitExempt, address);
}

bool IsTrustedProxy(const CServerLimits& limits, const std::string& address)
{
    return InAnyRange(limits.trustedProxies, address);
}

void CLoginGuard::Expire(CRecord& record, std::chrono::milliseconds window, Clock::time_point now)
{
    while (!record.events.empty() && record.events.front() + window <= now)
        record.events.pop_front();
}

bool CLoginGuard::Allows(CRecord& record, std::size_t max, std::chrono::milliseconds window,
                         Clock::time_point now)
{
    if (now < record.lockedUntil)
        return false;
    Expire(record, window, now);
    return record.events.size() + record.inFlight < max;
}

void CLoginGuard::Fail(CRecord& record, std::size_t max, Clock::time_point now)
{
    Expire(record, m_limits.failureWindow, now);
    record.events.push_back(now);
    if (record.events.size() >= max) {
        record.lockedUntil = now + m_limits.lockoutTime;
        record.events.clear();
    }
}

CLoginGuard::CRecord* CLoginGuard::NameRecord(const std::string& address, const std::string& name)
{
    // A name that breaks the rule has no account to guess at, and may be
    // long: only its address counts.
    if (!IsValidCredential(name))
        return nullptr;
    return &m_names[address + '\n' + name];
}

bool CLoginGuard::MayLogin(const std::string& address, const std::string& name, Clock::time_point now)
{
    Sweep(now);
    if (!Allows(m_addresses[address], m_limits.maxAddressFailures, m_limits.failureWindow, now))
        return false;
    CRecord* record = NameRecord(address, name);
    return !record || Allows(*record, m_limits.maxNameFailures, m_limits.failureWindow, now);
}

void CLoginGuard::LoginStarted(const std::string& address, const std::string& name)
{
    ++m_addresses[address].inFlight;
    if (CRecord* record = NameRecord(address, name))
        ++record->inFlight;
}

void CLoginGuard::LoginAbandoned(const std::string& address, const std::string& name)
{
    CRecord& byAddress = m_addresses[address];
    if (byAddress.inFlight > 0)
        --byAddress.inFlight;
    CRecord* byName = NameRecord(address, name);
    if (byName && byName->inFlight > 0)
        --byName->inFlight;
}

void CLoginGuard::LoginChecked(const std::string& address, const std::string& name, bool ok,
                               Clock::time_point now)
{
    LoginAbandoned(address, name);
    CRecord& byAddress = m_addresses[address];
    CRecord* byName = NameRecord(address, name);
    if (ok) {
        // The owner got in: earlier slips of the name from here are forgiven.
        if (byName)
            byName->events.clear();
        return;
    }
    Fail(byAddress, m_limits.maxAddressFailures, now);
    if (byName)
        Fail(*byName, m_limits.maxNameFailures, now);
}

void CLoginGuard::LoginRejected(const std::string& address, const std::string& name, Clock::time_point now)
{
    Sweep(now);
    Fail(m_addresses[address], m_limits.maxAddressFailures, now);
    if (CRecord* record = NameRecord(address, name))
        Fail(*record, m_limits.maxNameFailures, now);
}

bool CLoginGuard::MayRegister(const std::string& address, Clock::time_point now)
{
    Sweep(now);
    return Allows(m_registrations[address], m_limits.maxRegistrations, m_limits.registrationWindow, now);
}

void CLoginGuard::RegistrationStarted(const std::string& address)
{
    ++m_registrations[address].inFlight;
}

void CLoginGuard::RegistrationEnded(const std::string& address, bool created, Clock::time_point now)
{
    CRecord& record = m_registrations[address];
    if (record.inFlight > 0)
        --record.inFlight;
    if (created)
        record.events.push_back(now);
}

void CLoginGuard::Sweep(Clock::time_point now)
{
    if (now < m_nextSweep)
        return;
    m_nextSweep = now + m_limits.failureWindow;
    auto sweep = [now](std::unordered_map<std::string, CRecord>& records, std::chrono::milliseconds window) {
        for (auto it = records.begin(); it != records.end();) {
            CRecord& r = it->second;
            Expire(r, window, now);
            if (r.events.empty() && r.inFlight == 0 && r.lockedUntil <= now)
                it = records.erase(it);
            else
                ++it;
        }
    };
    sweep(m_names, m_limits.failureWindow);
    sweep(m_addresses, m_limits.failureWindow);
    sweep(m_registrations, m_limits.registrationWindow);
}
