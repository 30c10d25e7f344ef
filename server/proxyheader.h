#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The header a load balancer puts in front of a connection it passes on,
// naming the client it came from (the PROXY protocol): a line of text
// (version 1) or a binary block (version 2). The parser only looks at bytes;
// CServerSession feeds it from the socket without taking more than the
// header, so that what follows (a TLS hello, a record) stays unread.
struct CProxyHeader
{
    enum class CStatus {
        Complete,   // a whole header of `length` bytes
        Incomplete, // a valid beginning: wait until at least `length` bytes are there
        Invalid,    // not a header, or one refused; `error` says why
    };
    CStatus status = CStatus::Incomplete;
    std::size_t length = 0;
    // The client as "ADDRESS:PORT", the form CServerSession::Peer() has;
    // empty when the header names none (a health check of the proxy's own,
    // "UNKNOWN" or LOCAL), and the proxy's address stays.
    std::string source;
    std::string error;
};

// The longest header taken: a text one may have at most 107 bytes; a binary
// one carries optional fields behind the addresses, which are skipped but
// must fit in this.
inline constexpr std::size_t kMaxProxyHeader = 4096;

// Looks at the front of `bytes`, the first bytes of a connection.
CProxyHeader ParseProxyHeader(std::string_view bytes);

// Whether `bytes` begin as a header of either version does.
bool BeginsProxyHeader(std::string_view bytes);
