#pragma once

#include "clientlink.h"
#include "netmessage.h"
#include "recordstream.h"
#include "sessionstream.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CSessionHost;

// One client connection: its socket, the bytes of a record not yet whole and
// the bytes waiting to be written. Records are decoded as bytes arrive and
// handed to the server one at a time, in order.
//
// An idle connection owns no read buffer: the session waits until the socket
// is readable and then reads into a buffer shared by every session of the
// thread. Only the bytes of a record that is not yet complete are copied into
// the session, and that copy is freed as soon as the record is.
//
// A handler that must wait for a worker (password hashing, the store) calls
// Hold(): the session then decodes nothing more, and stops reading, until as
// many Resume() calls. This keeps the answers in the order the requests came,
// and bounds the memory a held connection can take.
//
// The session moves bytes and records only; who logged in on it, and what
// that login did, the server keeps. The services behind the server see it as
// a CClientLink.
//
// Writes never block: encoded records are appended to a pending buffer that
// is flushed by one async_write at a time. A client that stops reading lets
// that buffer grow; past the server's queue bound the connection is closed,
// so one slow client never costs the others more than that. A backlog handed
// to SendBacklog is encoded only as the queue drains, and counts against the
// bound as it would be encoded; the server hands it over a page at a time.
// A logged-in client that takes no byte of what waits for it within the
// write time-out is closed as well.
//
// Behind a trusted proxy the session first reads the PROXY header, as the
// start of a record and with the same deadline.
//
// Over TLS the session first completes the handshake; the login deadline
// covers it, so a handshake that stalls is closed like a silent connection,
// or earlier when too many are under way (CAdmission::HandshakeStarted).
//
// Nothing here closes the connection in the middle of a handler: Close()
// stops the socket at once, but the server learns of it (and logs the user
// off) from a handler of its own, posted to the loop.
class CServerSession final : public CClientLink, public std::enable_shared_from_this<CServerSession>
{
public:
    using Clock = std::chrono::steady_clock;

    CServerSession(CSessionHost& host, CSessionStream stream);
    CServerSession(const CServerSession&) = delete;
    CServerSession& operator=(const CServerSession&) = delete;

    // The peer is a trusted proxy: the connection must begin with a PROXY
    // header (proxyheader.h), whose client becomes Peer(). A connection
    // without a valid one is closed without an answer. Before Start.
    void ExpectProxyHeader() { m_awaitingHeader = true; }
    void Start();
    void Send(const CNetMessage& msg) override;
    // Sends a receipt ("MA", see EncodeReceipt), which is not urgent: its
    // write waits a few milliseconds for the next record to the same
    // client, so that both go in one write (CSessionHost::FlushSoon).
    void SendReceipt(std::string_view sender, std::string_view recipient, std::string_view outcome,
                     std::string_view id) override;
    // A tick of the host's flush timer, while the session is on its list:
    // what SendReceipt left queued since before the last tick is written now.
    // False when the session leaves the list.
    bool FlushTick();
    // Queues `records` behind everything sent so far; records sent from now
    // on go behind them. Each is encoded only when the write queue has room,
    // so a backlog of any size reaches a client that keeps reading.
    // With `more`, the server has more of it: once this part is all
    // written, CSessionHost::BacklogTaken asks for the next.
    void SendBacklog(std::vector<CNetMessage> records, bool more) override;
    // Sends what is queued (but not a backlog not yet reached), then closes.
    // Nothing more is read or handled. A client that does not read within a
    // few seconds is cut off anyway.
    void CloseAfterFlush() override;
    // Closes the socket at once, dropping unsent bytes; the server hears of
    // it from the loop. Idempotent, and safe from inside any handler.
    void Close() override;

    void Hold() override { ++m_holds; }
    void Resume() override;

    bool IsOpen() const override { return !m_closed && !m_draining; }
    const std::string& Peer() const override { return m_peer; }

    // A user logged in: from now on the login deadline is over and records
    // may take the full limits.
    void SetLoggedIn() override;
    bool IsLoggedIn() const { return m_loggedIn; }

private:
    // The header is read from the socket's queue without taking more than
    // it, so that a TLS hello behind it is still there for the handshake.
    void WaitProxyHeader();
    void OnProxyBytes(const asio::error_code& error);
    void RefuseProxy(const std::string& why);
    // Reads records, after the TLS handshake on a TLS port.
    void BeginStream();
    void OnHandshake(const asio::error_code& error);
    void StartRead();
    void WaitReadable();
    void OnReadable(const asio::error_code& error);
    void ProcessInput(bool recordStarts);
    // Encodes `msg` behind what is queued; false when the connection is
    // closed, or was closed for it.
    bool Queue(const CNetMessage& msg);
    // Where the next record is encoded (the queue, or behind a backlog not
    // yet encoded); `soon` as for SendReceipt. Then QueueBounded.
    std::string& QueueTarget(bool soon);
    // False when what is queued went over the bound, and the connection was
    // closed for it.
    bool QueueBounded();
    void StartWrite();
    void Refill();
    void OnWrite(const asio::error_code& error);
    void ArmTimer();
    void OnTimer();

    CSessionHost& m_host;
    CSessionStream m_stream;
    // One timer for every deadline: login, unfinished record, flush on close.
    asio::steady_timer m_timer;
    std::string m_peer;

    CRecordStream m_records;            // holds the start of a record not yet whole
    std::string m_writing;              // bytes handed to the running async_write
    std::string m_pending;              // bytes queued behind it
    std::vector<CNetMessage> m_backlog; // not yet encoded, from m_backlogNext
    std::size_t m_backlogNext = 0;
    std::size_t m_backlogBytes = 0; // about what the rest of it encodes to
    bool m_moreWanted = false;      // the server has more backlog
    std::string m_later;            // sent while a backlog is pending, goes out after it

    Clock::time_point m_loginDeadline;
    Clock::time_point m_recordDeadline; // while m_records holds a record's start
    Clock::time_point m_drainDeadline;  // while draining
    Clock::time_point m_writeDeadline;  // while a write waits for a client that is logged in
    int64_t m_acked = -1;               // what the client had acknowledged at the first look, if any
    Clock::time_point m_timerAt;

    bool m_loggedIn = false; // has logged in at some time
    bool m_awaitingHeader = false;
    std::size_t m_headerBytes = 0; // of it seen so far; the record deadline runs once there are some
    bool m_sawBytes = false;       // anything was read
    bool m_reading = false;
    bool m_writeActive = false;
    // What waits in m_pending was all sent with SendReceipt: no write starts for
    // it before its flush is due, unless something urgent joins it.
    bool m_onlySoon = false;
    bool m_flushDue = false;    // such records wait for the flush tick
    bool m_flushListed = false; // on the host's list (CSessionHost::FlushSoon)
    int m_flushTicks = 0;       // ticks the records waiting now have seen
    int m_holds = 0;
    bool m_processing = false;
    bool m_draining = false;
    bool m_closed = false;
    bool m_timerArmed = false;
};
