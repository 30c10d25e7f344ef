#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/write.hpp>

#include <memory>
#include <utility>

// The byte stream under a session: a TCP socket, or TLS over one. The session
// waits on the socket and reads without blocking, so its read path is the same
// for both; TLS only adds the handshake and may hold decrypted bytes that the
// socket no longer shows as readable.
class CSessionStream
{
public:
    explicit CSessionStream(asio::ip::tcp::socket socket) : m_plain(std::move(socket)) {}
    // The TLS engine, with its record buffers, is made only when the
    // handshake starts: a connection that never says anything costs no more
    // than a clear-text one.
    CSessionStream(asio::ip::tcp::socket socket, asio::ssl::context& tls)
        : m_plain(std::move(socket)), m_context(&tls)
    {
    }

    bool IsTls() const { return m_context != nullptr; }
    asio::ip::tcp::socket& Socket() { return m_tls ? m_tls->next_layer() : m_plain; }
    const asio::ip::tcp::socket& Socket() const { return m_tls ? m_tls->next_layer() : m_plain; }

    // Calls `handler` with the handshake's outcome; for TCP at once.
    template <typename Handler> void AsyncHandshake(Handler&& handler)
    {
        if (!m_context) {
            handler(asio::error_code());
            return;
        }
        if (!m_tls) {
            const auto executor = m_plain.get_executor();
            m_tls =
                std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(std::move(m_plain), *m_context);
            m_plain = asio::ip::tcp::socket(executor);
        }
        m_tls->async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(handler));
    }

    // Without blocking: would_block when nothing is there yet.
    std::size_t ReadSome(asio::mutable_buffer buffer, asio::error_code& error)
    {
        return m_tls ? m_tls->read_some(buffer, error) : m_plain.read_some(buffer, error);
    }

    template <typename Handler> void AsyncWrite(asio::const_buffer buffer, Handler&& handler)
    {
        if (m_tls)
            asio::async_write(*m_tls, buffer, std::forward<Handler>(handler));
        else
            asio::async_write(m_plain, buffer, std::forward<Handler>(handler));
    }

    // Ends the sending direction once everything queued was written: TLS
    // says so with its closing alert first. Errors do not matter here; the
    // socket is closed next.
    void ShutdownSend()
    {
        asio::error_code ignored;
        if (m_tls)
            m_tls->shutdown(ignored); // sends the alert, does not wait for the peer's
        Socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    }

private:
    asio::ip::tcp::socket m_plain; // under TLS, only until the handshake
    asio::ssl::context* m_context = nullptr;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> m_tls;
};
