#pragma once

#include "netmessage.h"
#include "serveroptions.h"

#include <cstddef>

class CServerSession;

// What a session tells the server it belongs to, and asks of it. Every call
// comes on the loop.
class CSessionHost
{
public:
    virtual ~CSessionHost() = default;

    // The limits in force; maxConnections is resolved, never 0.
    virtual const CServerLimits& Limits() const = 0;
    // A whole record, in the order the client sent it. A handler that fails
    // in any way closes only the connection it serves.
    virtual void HandleRecord(CServerSession& session, CNetMessage& msg) = 0;
    // Posted by Close(): the server forgets the session and logs its user off.
    virtual void OnSessionClosed(CServerSession& session) = 0;
    // Close() itself, at once: the session no longer counts for any share.
    virtual void SessionClosing(CServerSession& session) = 0;

    // A TLS handshake begins or ends (admission.h).
    virtual void HandshakeStarted(CServerSession& session) = 0;
    virtual void HandshakeEnded(CServerSession& session) = 0;
    // A trusted proxy's connection named its client, now its Peer(). False
    // when it was closed for it, past that address's share.
    virtual bool ProxyHeaderRead(CServerSession& session) = 0;
    // A session that has not logged in holds `bytes` of an unfinished record.
    virtual void PreloginBuffered(CServerSession& session, std::size_t bytes) = 0;

    // The session has written the part of its backlog it was given.
    virtual void BacklogTaken(CServerSession& session) = 0;
    // Records sent with SendReceipt wait in the session for the flush tick.
    virtual void FlushSoon(CServerSession& session) = 0;
};
