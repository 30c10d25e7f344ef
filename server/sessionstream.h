#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl/context.hpp>
#include <asio/write.hpp>

#include <openssl/ssl.h>

#include <memory>
#include <utility>

// The byte stream under a session: a TCP socket, or TLS over one. The session
// waits on the socket and reads without blocking, so its read path is the same
// for both; TLS only adds the handshake and may hold decrypted bytes that the
// socket no longer shows as readable.
//
// TLS runs OpenSSL straight on the non-blocking socket, without buffers of
// its own: what a connection holds between records is the TLS engine's state
// alone (the context asks OpenSSL to release its record buffers when they
// are empty). The engine is made only when the client's hello has arrived
// whole, so a connection that says nothing, or only part of its hello, costs
// no more than a clear-text one. From then until the handshake ends OpenSSL
// keeps about 30 KB of handshake buffers that it offers no way to release;
// the server bounds how many such handshakes it keeps (CAdmission).
//
// The handlers given to AsyncHandshake and AsyncWrite must keep the stream's
// owner alive until they are called, as the session's do.
class CSessionStream
{
public:
    explicit CSessionStream(asio::ip::tcp::socket socket) : m_socket(std::move(socket)) {}
    CSessionStream(asio::ip::tcp::socket socket, asio::ssl::context& tls)
        : m_socket(std::move(socket)), m_context(&tls)
    {
    }

    bool IsTls() const { return m_context != nullptr; }
    // Whether records may flow: clear text, or TLS once its handshake ended.
    bool IsReady() const { return !m_context || (m_ssl && ::SSL_is_init_finished(m_ssl.get())); }
    asio::ip::tcp::socket& Socket() { return m_socket; }
    const asio::ip::tcp::socket& Socket() const { return m_socket; }

    // Calls `handler` once the client's first TLS record lies whole in the
    // socket's receive queue, or once what arrived cannot begin one (the
    // handshake then fails on it), or with the error that ended the wait.
    // Nothing is read: until then the bytes stay with the kernel.
    template <typename Handler> void AsyncWaitHello(Handler&& handler)
    {
        m_socket.async_wait(asio::socket_base::wait_read, [this, handler = std::forward<Handler>(handler)](
                                                              const asio::error_code& error) mutable {
            if (error)
                handler(error);
            else if (Detached())
                handler(asio::error_code(asio::error::bad_descriptor));
            else if (HelloArrived())
                handler(asio::error_code());
            else
                AsyncWaitHello(std::move(handler));
        });
    }

    // The bytes waiting begin with something else than a TLS handshake
    // record: a client speaking clear text to a TLS port (or none at all).
    bool IsClearText();
    // Answers such a client as TLS does a hello it cannot take, with a
    // fatal protocol_version alert that the client can recognise, after its
    // bytes are read off (so that the close goes behind the alert and
    // resets nothing). The socket is closed next.
    void RefuseClearText();

    // The bytes at the front of the socket's receive queue, up to `size`,
    // without taking them; would_block when none are there.
    std::size_t Peek(char* data, std::size_t size, asio::error_code& error);
    // Takes `size` bytes that Peek has shown off the queue.
    void Skip(std::size_t size);
    // From now on the socket reports itself readable only once `bytes` wait
    // (or the stream ends), so that waiting for the rest of something seen
    // in part costs no turns of the loop.
    void WakeAt(std::size_t bytes);
    // Whether the peer has ended its sending direction, while bytes it sent
    // before may still wait to be read.
    bool PeerHasClosed();

    // Calls `handler` with the handshake's outcome; for TCP at once.
    template <typename Handler> void AsyncHandshake(Handler&& handler)
    {
        if (!m_context) {
            handler(asio::error_code());
            return;
        }
        if (!m_ssl) {
            const asio::error_code error = MakeEngine();
            if (error) {
                handler(error);
                return;
            }
        }
        ContinueHandshake(std::forward<Handler>(handler));
    }

    // Without blocking: would_block when nothing is there yet.
    std::size_t ReadSome(asio::mutable_buffer buffer, asio::error_code& error);

    // Calls `handler(error, bytes)` from the loop once all of `buffer` is
    // written or writing failed. One write at a time.
    template <typename Handler> void AsyncWrite(asio::const_buffer buffer, Handler&& handler)
    {
        if (m_ssl)
            ContinueWrite(buffer, std::forward<Handler>(handler));
        else
            asio::async_write(m_socket, buffer, std::forward<Handler>(handler));
    }

    // Ends the sending direction once everything queued was written: TLS
    // says so with its closing alert first. Errors do not matter here; the
    // socket is closed next.
    void ShutdownSend();

private:
    struct CSslFree
    {
        void operator()(SSL* ssl) const { ::SSL_free(ssl); }
    };

    asio::error_code MakeEngine();
    bool HelloArrived();
    // What the engine needs after a call that returned `result`: nothing
    // (`wait` says which readiness to wait for), or the error that ends it.
    asio::error_code Classify(int result, asio::socket_base::wait_type& wait) const;
    // The socket closed under the engine: its descriptor may belong to
    // another connection by now, so the engine must not touch it.
    bool Detached() const { return !m_socket.is_open(); }

    template <typename Handler> void ContinueHandshake(Handler handler)
    {
        if (Detached()) {
            handler(asio::error_code(asio::error::bad_descriptor));
            return;
        }
        ::ERR_clear_error();
        const int result = ::SSL_do_handshake(m_ssl.get());
        if (result == 1) {
            handler(asio::error_code());
            return;
        }
        asio::socket_base::wait_type wait = asio::socket_base::wait_read;
        if (const asio::error_code error = Classify(result, wait)) {
            handler(error);
            return;
        }
        m_socket.async_wait(wait,
                            [this, handler = std::move(handler)](const asio::error_code& error) mutable {
                                if (error)
                                    handler(error);
                                else
                                    ContinueHandshake(std::move(handler));
                            });
    }

    // OpenSSL keeps the progress of a write that had to wait; it is repeated
    // with the same bytes until it has taken all of them.
    template <typename Handler> void ContinueWrite(asio::const_buffer buffer, Handler handler)
    {
        asio::error_code error = Detached() ? asio::error::bad_descriptor : asio::error_code();
        std::size_t written = 0;
        asio::socket_base::wait_type wait = asio::socket_base::wait_write;
        if (!error) {
            ::ERR_clear_error();
            const int result = ::SSL_write_ex(m_ssl.get(), buffer.data(), buffer.size(), &written);
            if (result != 1) {
                error = Classify(result, wait);
                if (!error) {
                    m_socket.async_wait(wait, [this, buffer, handler = std::move(handler)](
                                                  const asio::error_code& waited) mutable {
                        if (waited)
                            handler(waited, std::size_t{0});
                        else
                            ContinueWrite(buffer, std::move(handler));
                    });
                    return;
                }
            }
        }
        asio::post(m_socket.get_executor(),
                   [handler = std::move(handler), error, written]() mutable { handler(error, written); });
    }

    asio::ip::tcp::socket m_socket;
    asio::ssl::context* m_context = nullptr;
    std::unique_ptr<SSL, CSslFree> m_ssl;
};
