#include "benchclient.h"

#include "wire.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

CBenchClient::CBenchClient(uint16_t port, bool tls, const std::string& from)
{
    m_fd = ConnectFrom(port, from);
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!tls)
        return;
    static SSL_CTX* const context = [] {
        SSL_CTX* ctx = ::SSL_CTX_new(TLS_client_method());
        ::SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        // A read that finds only a handshake record returns at once.
        ::SSL_CTX_clear_mode(ctx, SSL_MODE_AUTO_RETRY);
        return ctx;
    }();
    m_ssl = ::SSL_new(context);
    ::SSL_set_fd(m_ssl, m_fd);
    if (::SSL_connect(m_ssl) != 1) {
        ::SSL_free(m_ssl);
        ::close(m_fd);
        throw std::runtime_error("TLS handshake failed");
    }
}

int ConnectFrom(uint16_t port, const std::string& from)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (!from.empty() && (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
                          ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)) {
        ::close(fd);
        throw std::runtime_error("cannot connect from " + from + ": " + std::strerror(errno));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    return fd;
}

CBenchClient::~CBenchClient()
{
    if (m_ssl)
        ::SSL_free(m_ssl);
    ::close(m_fd);
}

void CBenchClient::Send(const CNetMessage& msg)
{
    SendRaw(EncodeRecord(msg));
}

void CBenchClient::SendRaw(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (m_ssl) {
            std::size_t written = 0;
            if (::SSL_write_ex(m_ssl, bytes.data() + done, bytes.size() - done, &written) != 1)
                throw std::runtime_error("send failed");
            done += written;
            continue;
        }
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("send failed");
        done += static_cast<std::size_t>(n);
    }
}

void CBenchClient::Send(const char* command, const std::string& sender, const std::string& recipient,
                        const std::string& text)
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = sender;
    msg.recipient = recipient;
    msg.text = text;
    Send(msg);
}

bool CBenchClient::ReadAvailable()
{
    char chunk[64 * 1024];
    if (m_ssl) {
        // Called when the socket is readable: one read takes the record
        // there, and the loop what OpenSSL still holds of it.
        do {
            std::size_t got = 0;
            const int result = ::SSL_read_ex(m_ssl, chunk, sizeof chunk, &got);
            if (result != 1) {
                if (::SSL_get_error(m_ssl, result) != SSL_ERROR_WANT_READ)
                    return false;
                break;
            }
            m_stream.Append(std::string_view(chunk, got));
        } while (::SSL_pending(m_ssl) > 0);
    } else {
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        m_stream.Append(std::string_view(chunk, static_cast<std::size_t>(n)));
    }
    for (CNetMessage msg; m_stream.Next(msg) == DecodeStatus::Complete; msg = CNetMessage())
        m_records.push_back(std::move(msg));
    return true;
}

std::optional<CNetMessage> CBenchClient::Next()
{
    if (m_records.empty())
        return std::nullopt;
    CNetMessage msg = std::move(m_records.front());
    m_records.pop_front();
    return msg;
}

CNetMessage CBenchClient::Expect(const std::string& command, std::chrono::milliseconds timeout)
{
    CNetMessage record;
    switch (Wait({command}, timeout, &record)) {
    case CWaited::Record:
        return record;
    case CWaited::TimedOut:
        throw std::runtime_error("timed out waiting for \"" + command + "\"");
    case CWaited::Closed:
        break;
    }
    throw std::runtime_error("connection closed while waiting for \"" + command + "\"");
}

CBenchClient::CWaited CBenchClient::Wait(std::initializer_list<std::string_view> commands,
                                         std::chrono::milliseconds timeout, CNetMessage* record)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (auto msg = Next()) {
            for (const std::string_view command : commands) {
                if (msg->command != command)
                    continue;
                if (record)
                    *record = std::move(*msg);
                return CWaited::Record;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return CWaited::TimedOut;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0 && !ReadAvailable())
            return CWaited::Closed;
    }
}
