#include "sessionstream.h"

#include <asio/ssl/error.hpp>

#include <openssl/bio.h>
#include <openssl/err.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a
// connection the peer has reset; this one sends as Asio does, with
// MSG_NOSIGNAL. It holds only the descriptor, and never closes it.
int Descriptor(BIO* bio)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(::BIO_get_data(bio)));
}

bool Retryable()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

int SocketWrite(BIO* bio, const char* data, std::size_t size, std::size_t* written)
{
    ::BIO_clear_retry_flags(bio);
    const ssize_t n = ::send(Descriptor(bio), data, size, MSG_NOSIGNAL);
    if (n >= 0) {
        *written = static_cast<std::size_t>(n);
        return 1;
    }
    if (Retryable())
        ::BIO_set_retry_write(bio);
    return 0;
}

int SocketRead(BIO* bio, char* data, std::size_t size, std::size_t* read)
{
    ::BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(Descriptor(bio), data, size, 0);
    if (n > 0) {
        *read = static_cast<std::size_t>(n);
        return 1;
    }
    if (n == 0)
        errno = 0; // the end of the stream, not an error
    else if (Retryable())
        ::BIO_set_retry_read(bio);
    return 0;
}

long SocketCtrl(BIO*, int command, long, void*)
{
    // Nothing is buffered here, so a flush has nothing to do.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = ::BIO_meth_new(::BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "murmurly socket");
        if (m) {
            ::BIO_meth_set_write_ex(m, SocketWrite);
            ::BIO_meth_set_read_ex(m, SocketRead);
            ::BIO_meth_set_ctrl(m, SocketCtrl);
        }
        return m;
    }();
    return method;
}

// Whether the peer has ended its sending direction (or reset), while bytes
// it sent before may still wait to be read.
bool PeerClosed(int fd)
{
    pollfd wait{fd, POLLRDHUP, 0};
    return ::poll(&wait, 1, 0) > 0 && (wait.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

} // namespace

asio::error_code CSessionStream::MakeEngine()
{
    BIO_METHOD* method = SocketMethod();
    std::unique_ptr<SSL, CSslFree> ssl(::SSL_new(m_context->native_handle()));
    BIO* bio = method ? ::BIO_new(method) : nullptr;
    if (!ssl || !bio) {
        ::BIO_free(bio);
        return asio::error::no_memory;
    }
    ::BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(m_socket.native_handle())));
    ::BIO_set_init(bio, 1);
    ::SSL_set_bio(ssl.get(), bio, bio); // one BIO both ways, owned by the engine
    ::SSL_set_accept_state(ssl.get());
    m_ssl = std::move(ssl);
    return {};
}

bool CSessionStream::HelloArrived()
{
    // A record header: content type, version (2 bytes), length (2 bytes).
    constexpr std::size_t kHeader = 5;
    constexpr unsigned char kHandshake = 22;
    constexpr std::size_t kMaxRecord = 16384 + 2048; // longer ones the handshake refuses
    const int fd = m_socket.native_handle();
    unsigned char header[kHeader];
    const ssize_t n = ::recv(fd, header, kHeader, MSG_PEEK | MSG_DONTWAIT);
    std::size_t wanted = kHeader;
    if (n < 0 && Retryable())
        return false;
    if (n >= static_cast<ssize_t>(kHeader) && header[0] == kHandshake) {
        const std::size_t length = (std::size_t{header[3]} << 8) | header[4];
        wanted = length <= kMaxRecord ? kHeader + length : 0;
    }
    asio::error_code error;
    const std::size_t queued = m_socket.available(error);
    // An error, the end of the stream or bytes that are not TLS: the
    // handshake says so. A client that closes after part of its hello must
    // be seen too: the bytes it left would never reach the low-water mark,
    // and the end of the stream behind them wakes the wait only once.
    const bool arrived = n <= 0 || header[0] != kHandshake || error || queued >= wanted || PeerClosed(fd);
    // Until the bytes are all there the socket reports itself readable only
    // once they are, so that waiting for them costs no turns of the loop.
    WakeAt(arrived ? 1 : wanted);
    return arrived;
}

std::size_t CSessionStream::Peek(char* data, std::size_t size, asio::error_code& error)
{
    const ssize_t n = ::recv(m_socket.native_handle(), data, size, MSG_PEEK | MSG_DONTWAIT);
    error = n >= 0        ? asio::error_code()
            : Retryable() ? asio::error_code(asio::error::would_block)
                          : asio::error_code(errno, asio::system_category());
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void CSessionStream::Skip(std::size_t size)
{
    char drain[256];
    for (std::size_t left = size; left > 0;) {
        const ssize_t n = ::recv(m_socket.native_handle(), drain, std::min(left, sizeof drain), MSG_DONTWAIT);
        if (n <= 0)
            return; // the bytes were there; only a reset takes them, and the read after says so
        left -= static_cast<std::size_t>(n);
    }
}

void CSessionStream::WakeAt(std::size_t bytes)
{
    const int lowWater = static_cast<int>(bytes);
    ::setsockopt(m_socket.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
}

bool CSessionStream::PeerHasClosed()
{
    return PeerClosed(m_socket.native_handle());
}

asio::error_code CSessionStream::Classify(int result, asio::socket_base::wait_type& wait) const
{
    switch (::SSL_get_error(m_ssl.get(), result)) {
    case SSL_ERROR_WANT_READ:
        wait = asio::socket_base::wait_read;
        return {};
    case SSL_ERROR_WANT_WRITE:
        wait = asio::socket_base::wait_write;
        return {};
    case SSL_ERROR_ZERO_RETURN:
        return asio::error::eof;
    case SSL_ERROR_SYSCALL:
        if (::ERR_peek_error() == 0)
            return errno != 0 ? asio::error_code(errno, asio::system_category()) : asio::error::eof;
        [[fallthrough]];
    default: {
        const unsigned long code = ::ERR_get_error();
        ::ERR_clear_error();
        return asio::error_code(static_cast<int>(code), asio::error::get_ssl_category());
    }
    }
}

std::size_t CSessionStream::ReadSome(asio::mutable_buffer buffer, asio::error_code& error)
{
    if (!m_ssl)
        return m_socket.read_some(buffer, error);
    if (Detached()) {
        error = asio::error::bad_descriptor;
        return 0;
    }
    ::ERR_clear_error();
    std::size_t read = 0;
    const int result = ::SSL_read_ex(m_ssl.get(), buffer.data(), buffer.size(), &read);
    if (result == 1) {
        error = {};
        return read;
    }
    asio::socket_base::wait_type wait = asio::socket_base::wait_read;
    error = Classify(result, wait);
    // Reading writes nothing (renegotiation is off, and a key update is
    // answered with the next write), so waiting means waiting for input.
    if (!error)
        error = asio::error::would_block;
    return 0;
}

bool CSessionStream::IsClearText()
{
    constexpr unsigned char kHandshake = 22;
    unsigned char type = 0;
    return ::recv(m_socket.native_handle(), &type, 1, MSG_PEEK | MSG_DONTWAIT) != 1 || type != kHandshake;
}

void CSessionStream::RefuseClearText()
{
    // An alert record: content type 21, version TLS 1.0 (what a server says
    // before any version is agreed), length 2, level fatal, protocol_version.
    static constexpr unsigned char kAlert[] = {21, 3, 1, 0, 2, 2, 70};
    const int fd = m_socket.native_handle();
    char drain[4096];
    // Bounded: a client that keeps sending is closed with what is left.
    for (int i = 0; i < 16 && ::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0; ++i) {
    }
    [[maybe_unused]] const ssize_t sent = ::send(fd, kAlert, sizeof kAlert, MSG_DONTWAIT | MSG_NOSIGNAL);
    asio::error_code ignored;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}

void CSessionStream::ShutdownSend()
{
    asio::error_code ignored;
    if (m_ssl && !Detached()) {
        ::ERR_clear_error();
        ::SSL_shutdown(m_ssl.get()); // sends the alert, does not wait for the peer's
    }
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}
