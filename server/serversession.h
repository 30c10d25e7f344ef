#pragma once

#include "netmessage.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <memory>
#include <string>
#include <vector>

class CServer;

// One client connection: its socket, the bytes read but not yet decoded and
// the bytes waiting to be written. Records are decoded as bytes arrive and
// handed to the server one at a time, in order.
//
// A handler that must wait for a worker (password hashing) calls Hold(): the
// session then decodes nothing more, and stops reading, until Resume(). This
// keeps the answers in the order the requests came, and bounds the memory a
// held connection can take.
//
// Writes never block: encoded records are appended to a pending buffer that
// is flushed by one async_write at a time. A client that stops reading lets
// that buffer grow; past kMaxQueuedBytes the connection is closed, so one
// slow client never costs the others more than that.
class CServerSession : public std::enable_shared_from_this<CServerSession>
{
public:
    static constexpr std::size_t kMaxQueuedBytes = 1u << 20;

    CServerSession(CServer& server, asio::ip::tcp::socket socket);
    CServerSession(const CServerSession&) = delete;
    CServerSession& operator=(const CServerSession&) = delete;

    void Start();
    void Send(const CNetMessage& msg);
    // Sends what is queued, then closes. Nothing more is read or handled.
    // A client that does not read within a few seconds is cut off anyway.
    void CloseAfterFlush();
    // Closes at once, dropping unsent bytes. Idempotent.
    void Close();

    void Hold() { m_held = true; }
    void Resume();

    bool IsOpen() const { return !m_closed && !m_draining; }
    const std::string& Peer() const { return m_peer; }

    // The authenticated user; empty before a successful login and after the
    // session was logged off or replaced by a newer login.
    const std::string& User() const { return m_user; }
    void SetUser(std::string user) { m_user = std::move(user); }
    bool IsLoggedIn() const { return !m_user.empty(); }

    // State the server keeps per login.
    bool m_loginComplete = false; // "SLO" was served
    int m_failedLogins = 0;
    std::vector<std::string> m_sessionBlocks; // "BU" blocks, in the order made

private:
    void StartRead();
    void OnRead(const asio::error_code& error, std::size_t bytes);
    void ProcessInput();
    void StartWrite();
    void OnWrite(const asio::error_code& error);

    CServer& m_server;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_drainTimer;
    std::string m_peer;
    std::string m_user;

    std::array<char, 64 * 1024> m_chunk{};
    std::string m_input;   // bytes received and not yet decoded
    std::string m_writing; // bytes handed to the running async_write
    std::string m_pending; // bytes queued behind it

    bool m_reading = false;
    bool m_writeActive = false;
    bool m_held = false;
    bool m_processing = false;
    bool m_draining = false;
    bool m_closed = false;
};
