#pragma once

#include "wire.h"

#include <cstddef>
#include <string>
#include <string_view>

// Bytes as they arrive from a socket, cut into records. Feed whatever a read
// returned with Append, then call Next until it stops returning Complete.
// A TooLarge status is final: the stream cannot be resynchronised (there is
// no framing), so the connection must be dropped.
//
// A reader that reads into a buffer of its own can Lend it instead: whole
// records are then decoded straight from it, and Keep copies only what is
// left of it (the start of a record not yet whole, or records not taken),
// so an idle stream holds no buffer at all.
class CRecordStream
{
public:
    explicit CRecordStream(const DecodeLimits& limits) : m_limits(limits) {}

    // For the records Next decodes from now on (a server allows more after
    // the login).
    void SetLimits(const DecodeLimits& limits) { m_limits = limits; }

    void Append(std::string_view bytes);
    // Like Append, but `bytes` must stay as they are until Keep.
    void Lend(std::string_view bytes);
    // Ends the loan: copies what was not decoded, and gives back memory the
    // stream no longer needs.
    void Keep();

    DecodeStatus Next(CNetMessage& out);

    // Bytes received but not yet part of a decoded record.
    std::string_view Pending() const { return Source().substr(m_start); }
    std::size_t Buffered() const { return Pending().size(); }
    // Drops `n` bytes off the front of Pending, for a reader that takes raw
    // bytes itself.
    void Discard(std::size_t n);
    bool Broken() const { return m_broken; }

private:
    std::string_view Source() const { return m_lending ? m_lent : std::string_view(m_buffer); }
    void Release();

    DecodeLimits m_limits;
    std::string m_buffer;
    std::string_view m_lent;
    bool m_lending = false;
    std::size_t m_start = 0; // into Source()
    bool m_broken = false;
};
