#include "serversession.h"

#include "server.h"
#include "serverlog.h"
#include "wire.h"

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <chrono>

namespace {

std::string FormatPeer(const asio::ip::tcp::socket& socket)
{
    asio::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    if (error)
        return "unknown peer";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

} // namespace

CServerSession::CServerSession(CServer& server, asio::ip::tcp::socket socket)
    : m_server(server), m_socket(std::move(socket)), m_drainTimer(m_socket.get_executor()),
      m_peer(FormatPeer(m_socket))
{
    asio::error_code ignored;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
}

void CServerSession::Start()
{
    StartRead();
}

void CServerSession::StartRead()
{
    if (m_reading || m_held || m_closed || m_draining)
        return;
    m_reading = true;
    m_socket.async_read_some(asio::buffer(m_chunk),
                             [self = shared_from_this()](const asio::error_code& error, std::size_t bytes) {
                                 self->OnRead(error, bytes);
                             });
}

void CServerSession::OnRead(const asio::error_code& error, std::size_t bytes)
{
    m_reading = false;
    if (m_closed || m_draining)
        return;
    if (error) {
        Close();
        return;
    }
    m_input.append(m_chunk.data(), bytes);
    ProcessInput();
    StartRead();
}

void CServerSession::ProcessInput()
{
    // A handler may Send, Hold or close; Resume from inside a handler must not
    // start a second loop over the same buffer.
    if (m_processing)
        return;
    m_processing = true;
    std::size_t offset = 0;
    while (!m_held && !m_closed && !m_draining && offset < m_input.size()) {
        CNetMessage msg;
        const auto view = std::string_view(m_input).substr(offset);
        const DecodeResult result = DecodeRecord(view, msg, kServerLimits);
        if (result.status == DecodeStatus::Incomplete) {
            // The decoder refuses what exceeds the limits as soon as a prefix
            // says so; this guards the total all the same.
            if (view.size() > kServerLimits.maxRecord) {
                ServerLog("protocol error from " + m_peer + ": record longer than the limit; closing");
                Close();
            }
            break;
        }
        if (result.status != DecodeStatus::Complete) {
            ServerLog("protocol error from " + m_peer +
                      (result.status == DecodeStatus::TooLarge ? ": record exceeds the limits; closing"
                                                               : ": malformed record; closing"));
            Close();
            break;
        }
        offset += result.consumed;
        m_server.HandleRecord(*this, msg);
    }
    if (!m_closed)
        m_input.erase(0, offset);
    else
        std::string().swap(m_input);
    m_processing = false;
}

void CServerSession::Resume()
{
    if (!m_held)
        return;
    m_held = false;
    if (m_closed || m_draining)
        return;
    // Run the held records from the loop, not from inside the callback that
    // resumed us, so that the callback finishes its own sends first.
    asio::post(m_socket.get_executor(), [self = shared_from_this()]() {
        self->ProcessInput();
        self->StartRead();
    });
}

void CServerSession::Send(const CNetMessage& msg)
{
    if (m_closed)
        return;
    EncodeRecord(msg, m_pending);
    if (m_pending.size() + m_writing.size() > kMaxQueuedBytes) {
        ServerLog("client " + m_peer + " does not read; send queue over 1 MiB; closing");
        Close();
        return;
    }
    StartWrite();
}

void CServerSession::StartWrite()
{
    if (m_writeActive || m_closed || m_pending.empty())
        return;
    m_writing.swap(m_pending);
    m_pending.clear();
    m_writeActive = true;
    asio::async_write(
        m_socket, asio::buffer(m_writing),
        [self = shared_from_this()](const asio::error_code& error, std::size_t) { self->OnWrite(error); });
}

void CServerSession::OnWrite(const asio::error_code& error)
{
    m_writeActive = false;
    m_writing.clear();
    if (m_closed)
        return;
    if (error) {
        Close();
        return;
    }
    if (!m_pending.empty()) {
        StartWrite();
        return;
    }
    if (m_draining) {
        asio::error_code ignored;
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        Close();
    }
}

void CServerSession::CloseAfterFlush()
{
    if (m_closed || m_draining)
        return;
    m_draining = true;
    if (!m_writeActive && m_pending.empty()) {
        Close();
        return;
    }
    m_drainTimer.expires_after(std::chrono::seconds(5));
    m_drainTimer.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error)
            self->Close();
    });
}

void CServerSession::Close()
{
    if (m_closed)
        return;
    // The server drops its reference below; stay alive until we return.
    const auto self = shared_from_this();
    m_closed = true;
    asio::error_code ignored;
    m_drainTimer.cancel();
    m_socket.close(ignored);
    m_pending.clear();
    m_server.OnSessionClosed(*this);
}
