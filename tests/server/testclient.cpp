#include "testclient.h"

#include "commands.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

CTestClient::CTestClient(uint16_t port, bool tls, const std::string& from, const std::string& preface)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (!from.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            ADD_FAILURE() << "cannot connect from " << from << ": " << strerror(errno);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ADD_FAILURE() << "cannot connect to port " << port << ": " << strerror(errno);
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!preface.empty()) {
        EXPECT_TRUE(SendRaw(preface));
    }
    if (tls && !StartTls()) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool CTestClient::StartTls()
{
    static SSL_CTX* const context = [] {
        SSL_CTX* ctx = ::SSL_CTX_new(TLS_client_method());
        ::SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        // A read that finds only a handshake record returns instead of
        // waiting for data: the poll in Fill decides how long to wait.
        ::SSL_CTX_clear_mode(ctx, SSL_MODE_AUTO_RETRY);
        return ctx;
    }();
    // The handshake must not hang a test on a server that never answers it.
    timeval wait{static_cast<time_t>(kWait.count()), 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    m_ssl = ::SSL_new(context);
    ::SSL_set_fd(m_ssl, m_fd);
    return ::SSL_connect(m_ssl) == 1;
}

CTestClient::~CTestClient()
{
    if (m_ssl)
        ::SSL_free(m_ssl);
    if (m_fd >= 0)
        ::close(m_fd);
}

void CTestClient::ShutdownSend()
{
    ::shutdown(m_fd, SHUT_WR);
}

bool CTestClient::SendRaw(const std::string& bytes)
{
    std::size_t done = 0;
    if (m_fd < 0)
        return false;
    while (done < bytes.size()) {
        if (m_ssl) {
            std::size_t written = 0;
            if (::SSL_write_ex(m_ssl, bytes.data() + done, bytes.size() - done, &written) != 1)
                return false;
            done += written;
            continue;
        }
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void CTestClient::Send(const CNetMessage& msg)
{
    EXPECT_TRUE(SendRaw(EncodeRecord(msg))) << "sending " << msg.command;
}

void CTestClient::Send(const char* command, std::string sender, std::string recipient, std::string text)
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = std::move(sender);
    msg.recipient = std::move(recipient);
    msg.text = std::move(text);
    Send(msg);
}

bool CTestClient::DecodeBuffered()
{
    bool any = false;
    for (CNetMessage msg; m_stream.Next(msg) == DecodeStatus::Complete; msg = CNetMessage()) {
        m_records.push_back(std::move(msg));
        any = true;
    }
    return any;
}

bool CTestClient::Fill(std::chrono::steady_clock::time_point deadline)
{
    while (!m_eof && m_fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // A time-out of 0 still takes what has come.
        if (left.count() < 0)
            return false;
        if (!m_ssl || ::SSL_pending(m_ssl) == 0) {
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
        }
        char chunk[64 * 1024];
        ssize_t n = 0;
        if (m_ssl) {
            std::size_t got = 0;
            const int result = ::SSL_read_ex(m_ssl, chunk, sizeof chunk, &got);
            if (result == 1)
                n = static_cast<ssize_t>(got);
            else if (::SSL_get_error(m_ssl, result) == SSL_ERROR_WANT_READ)
                continue;
        } else {
            n = ::recv(m_fd, chunk, sizeof chunk, 0);
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_stream.Append(std::string_view(chunk, static_cast<std::size_t>(n)));
        if (DecodeBuffered())
            return true;
    }
    return false;
}

std::optional<CNetMessage> CTestClient::Receive(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (m_records.empty())
        Fill(deadline);
    if (m_records.empty())
        return std::nullopt;
    CNetMessage msg = std::move(m_records.front());
    m_records.pop_front();
    return msg;
}

CNetMessage CTestClient::Expect(const std::string& command, std::chrono::milliseconds timeout)
{
    auto msg = Receive(timeout);
    if (!msg) {
        ADD_FAILURE() << "expected \"" << command << "\", got " << (m_eof ? "end of stream" : "nothing");
        return CNetMessage();
    }
    if (msg->command != command) {
        ADD_FAILURE() << "expected \"" << command << "\", got \"" << msg->command << "\" (sender \""
                      << msg->sender << "\")";
        return CNetMessage();
    }
    return std::move(*msg);
}

bool CTestClient::ExpectNoRecord()
{
    // A closed connection just ends the stream, which also means nothing came.
    CNetMessage probe;
    probe.command = Cmd::Register;
    SendRaw(EncodeRecord(probe));
    const auto isAnswer = [](const CNetMessage& msg) {
        return msg.command == Cmd::RegistrationRefused ||
               (msg.command == Cmd::Failure && msg.sender == "Invalid user name or password");
    };
    bool quiet = true;
    while (auto msg = Receive()) {
        if (isAnswer(*msg))
            return quiet;
        ADD_FAILURE() << "unexpected \"" << msg->command << "\" (sender \"" << msg->sender << "\")";
        quiet = false;
    }
    if (!m_eof)
        ADD_FAILURE() << "no answer to a round trip";
    return quiet && m_eof;
}

bool CTestClient::WaitBytes(std::chrono::milliseconds timeout)
{
    pollfd p{m_fd, POLLIN, 0};
    char byte = 0;
    return m_fd >= 0 && ::poll(&p, 1, static_cast<int>(timeout.count())) > 0 &&
           ::recv(m_fd, &byte, 1, MSG_PEEK) > 0;
}

bool CTestClient::WaitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Fill also returns when records arrive; keep reading to the end.
    while (!m_eof && m_fd >= 0 && std::chrono::steady_clock::now() < deadline)
        Fill(deadline);
    return m_eof;
}

void CTestClient::Register(const std::string& name, const std::string& password)
{
    Send(Cmd::Register, name, password);
    Expect(Cmd::Registered);
}

CNetMessage CTestClient::Login(const std::string& name, const std::string& password, bool complete)
{
    CNetMessage login;
    login.command = Cmd::Login;
    login.sender = name;
    login.recipient = password;
    login.names = {name, password, "L"};
    Send(login);
    const CNetMessage sl = Expect(Cmd::LoginAccepted);
    EXPECT_EQ(sl.recipient, name);
    Send(Cmd::FriendsList, name);
    CNetMessage slu = Expect(Cmd::FriendsListAnswer);
    EXPECT_EQ(slu.recipient, name);
    if (complete)
        Send(Cmd::LoginComplete, name);
    return slu;
}

CNetMessage MakeFontMessage(const std::string& recipient, const std::string& text, const std::string& id)
{
    CNetMessage m;
    if (!id.empty())
        m.names.push_back(id);
    m.command = Cmd::Message;
    m.recipient = recipient;
    m.text = text;
    m.time = 123456789;
    m.faceName = "Courier New";
    m.font.lfWidth = -7;
    m.font.lfEscapement = 900;
    m.font.lfOrientation = -900;
    m.font.lfWeight = 700;
    m.font.lfItalic = 1;
    m.font.lfUnderline = 2;
    m.font.lfStrikeOut = 3;
    m.font.lfCharSet = 204;
    m.font.lfOutPrecision = 5;
    m.font.lfClipPrecision = 6;
    m.font.lfQuality = 7;
    m.font.lfPitchAndFamily = 0xFF;
    m.color = 0x00123456;
    m.size = -240;
    return m;
}

void ExpectSameFont(const CNetMessage& e, const CNetMessage& a)
{
    EXPECT_EQ(a.faceName, e.faceName);
    EXPECT_EQ(a.font, e.font);
    EXPECT_EQ(a.color, e.color);
    EXPECT_EQ(a.size, e.size);
}

void ExpectReceipt(CTestClient& sender, const std::string& id, const std::string& outcome,
                   std::chrono::milliseconds timeout)
{
    const CNetMessage ma = sender.Expect(Cmd::MessageAck, timeout);
    EXPECT_EQ(ma.names, std::vector<std::string>{id});
    EXPECT_EQ(ma.text, outcome) << id;
}

std::string ProxyHeaderV1(const std::string& address, uint16_t port)
{
    const bool v6 = address.find(':') != std::string::npos;
    return std::string("PROXY ") + (v6 ? "TCP6 " : "TCP4 ") + address + (v6 ? " ::1 " : " 127.0.0.1 ") +
           std::to_string(port) + " 7357\r\n";
}

std::string ProxyHeaderV2(const std::string& address, uint16_t port, const std::string& extra)
{
    const bool v6 = address.find(':') != std::string::npos;
    std::string source(v6 ? 16 : 4, '\0');
    EXPECT_EQ(::inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), source.data()), 1) << address;
    const std::string body = source + std::string(source.size(), '\0') + char(port >> 8) + char(port & 0xFF) +
                             "\x1C\xBD" + extra; // to port 7357
    return std::string("\r\n\r\n\0\r\nQUIT\n\x21", 13) + (v6 ? "\x21" : "\x11") + char(body.size() >> 8) +
           char(body.size() & 0xFF) + body;
}
