#pragma once

#include "netmessage.h"

#include <string>
#include <string_view>
#include <vector>

// A client's connection as the services see it: what they send to it, and
// how they hold, resume and close it. The session behind it (CServerSession)
// moves the bytes; nothing that talks to a client through this knows how.
class CClientLink
{
public:
    virtual ~CClientLink() = default;

    virtual void Send(const CNetMessage& msg) = 0;
    // A receipt ("MA"), which is not urgent: it may wait a few milliseconds
    // for the next record to the same client, to share its write.
    virtual void SendReceipt(std::string_view sender, std::string_view recipient, std::string_view outcome,
                             std::string_view id) = 0;
    // Queues `records` behind everything sent so far, encoded only as the
    // client takes them. With `more`, the next part is asked for once this
    // one is written (CSessionHost::BacklogTaken).
    virtual void SendBacklog(std::vector<CNetMessage> records, bool more) = 0;
    // Sends what is queued, then closes; nothing more is read or handled.
    virtual void CloseAfterFlush() = 0;
    // Closes at once; safe from inside any handler.
    virtual void Close() = 0;

    // While held, nothing more the client sent is handled, until as many
    // Resume() calls: a request that waits keeps its answer in order.
    virtual void Hold() = 0;
    virtual void Resume() = 0;

    virtual bool IsOpen() const = 0;
    virtual const std::string& Peer() const = 0;
    // A user logged in on it: the limits of a connection not logged in end.
    virtual void SetLoggedIn() = 0;
};
