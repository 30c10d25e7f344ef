#include "natslink.h"

#include "serverlog.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <charconv>
#include <stdexcept>

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// A protocol line longer than this (a subject has at most a few hundred
// bytes) means the peer is not a NATS server.
constexpr std::size_t kMaxLine = 64 * 1024;

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

template <typename T> bool ParseNumber(std::string_view text, T& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The fields of a protocol line; a message header has at most six.
struct CFields
{
    std::array<std::string_view, 7> at;
    std::size_t count = 0;

    explicit CFields(std::string_view line)
    {
        std::size_t i = 0;
        while (i < line.size() && count < at.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                ++i;
            std::size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t')
                ++end;
            if (end > i)
                at[count++] = line.substr(i, end - i);
            i = end;
        }
    }
    std::string_view Back(std::size_t fromEnd = 0) const { return at[count - 1 - fromEnd]; }
};

} // namespace

CNatsLink::CNatsLink(asio::io_context& io, const std::string& url, std::string name, MessageHandler onMessage,
                     LinkHandler onLink)
    : m_io(io), m_onMessage(std::move(onMessage)), m_onLink(std::move(onLink)), m_checkTimer(io),
      m_retryTimer(io)
{
    const std::string invalid = "invalid --cluster URL '" + url + "'";
    if (url.rfind("nats://", 0) != 0)
        throw std::runtime_error(invalid);
    std::string_view rest = std::string_view(url).substr(7);
    if (const auto slash = rest.find('/'); slash != std::string_view::npos)
        rest = rest.substr(0, slash);
    std::string credentials;
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        const std::string_view user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (const auto colon = user.find(':'); colon != std::string_view::npos)
            credentials = ",\"user\":" + JsonString(user.substr(0, colon)) +
                          ",\"pass\":" + JsonString(user.substr(colon + 1));
        else
            credentials = ",\"auth_token\":" + JsonString(user);
    }
    std::string_view port = "4222";
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            throw std::runtime_error(invalid);
        m_host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':')
                throw std::runtime_error(invalid);
            port = rest.substr(close + 2);
        }
    } else if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) {
        m_host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    } else {
        m_host = rest;
    }
    unsigned portNumber = 0;
    if (m_host.empty() || !ParseNumber(port, portNumber) || portNumber == 0 || portNumber > 65535)
        throw std::runtime_error(invalid);
    m_port = port;
    m_connect =
        "CONNECT {\"verbose\":false,\"pedantic\":false,\"tls_required\":false,\"name\":" + JsonString(name) +
        ",\"lang\":\"c++\",\"version\":\"1.0\",\"protocol\":1,\"echo\":false,\"headers\":true,"
        "\"no_responders\":true" +
        credentials + "}\r\nPING\r\n";

    // The first connection is made before the node serves anyone, on a loop
    // of its own, and then handed to the server's.
    {
        asio::io_context setup;
        Attempt(setup.get_executor());
        setup.run();
        const bool up = m_state == CState::Up;
        std::unique_ptr<asio::ip::tcp::socket> socket = std::move(m_socket);
        m_resolver.reset();
        m_attemptTimer.reset();
        if (!up)
            throw std::runtime_error("cannot join the cluster at " + url + ": " + m_failure);
        const auto protocol = socket->local_endpoint().protocol();
        m_socket = std::make_unique<asio::ip::tcp::socket>(m_io, protocol, socket->release());
    }
    m_initial = false;
    Read(m_generation);
    Flush();
    ArmCheck();
}

CNatsLink::~CNatsLink()
{
    ++m_generation;
    if (m_state != CState::Up || !m_socket || !m_socket->is_open())
        return;
    // Stopping: what the loop had no turn left to write (a goodbye) goes now,
    // unless a write was cut short, which would leave half a command.
    if (!m_writeActive && !m_out.empty()) {
        const int fd = m_socket->native_handle();
        asio::error_code ignored;
        m_socket->non_blocking(false, ignored);
        timeval limit{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::size_t done = 0;
        while (done < m_out.size()) {
            const ssize_t n = ::send(fd, m_out.data() + done, m_out.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
    }
    asio::error_code ignored;
    m_socket->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_socket->close(ignored);
}

void CNatsLink::Publish(std::string_view subject, std::string_view data, std::string_view reply)
{
    if (data.size() > m_maxPayload) {
        ServerLog("cluster: cannot publish on " + std::string(subject) + ": " + std::to_string(data.size()) +
                  " bytes, more than the NATS server takes");
        return;
    }
    if (m_state != CState::Up && m_out.size() + data.size() > kMaxPending) {
        if (!m_overflowLogged)
            ServerLog("cluster: what was published while NATS was away passed " +
                      std::to_string(kMaxPending) + " bytes; the rest is dropped until it is back");
        m_overflowLogged = true;
        return;
    }
    char size[24];
    const auto end = std::to_chars(size, size + sizeof size, data.size()).ptr;
    m_out.reserve(m_out.size() + subject.size() + reply.size() + data.size() + 32);
    m_out += "PUB ";
    m_out += subject;
    if (!reply.empty()) {
        m_out += ' ';
        m_out += reply;
    }
    m_out += ' ';
    m_out.append(size, end);
    m_out += "\r\n";
    m_out += data;
    m_out += "\r\n";
    Flush();
}

void CNatsLink::Subscribe(const std::string& subject)
{
    const auto [it, added] = m_subs.try_emplace(subject, m_nextSid + 1);
    if (!added)
        return;
    ++m_nextSid;
    if (m_state != CState::Up)
        return; // subscribed with the others once the link is back
    m_out += "SUB " + subject + ' ' + std::to_string(it->second) + "\r\n";
    Flush();
}

void CNatsLink::Unsubscribe(const std::string& subject)
{
    const auto it = m_subs.find(subject);
    if (it == m_subs.end())
        return;
    if (m_state == CState::Up) {
        m_out += "UNSUB " + std::to_string(it->second) + "\r\n";
        Flush();
    }
    m_subs.erase(it);
}

void CNatsLink::Attempt(const asio::any_io_executor& executor)
{
    const uint64_t generation = ++m_generation;
    m_state = CState::Connecting;
    m_in.clear();
    m_writing.clear();
    m_writeActive = false;
    m_pingsOut = 0;
    m_socket = std::make_unique<asio::ip::tcp::socket>(executor);
    m_resolver = std::make_unique<asio::ip::tcp::resolver>(executor);
    m_attemptTimer = std::make_unique<asio::steady_timer>(executor, kConnectTimeout);
    m_attemptTimer->async_wait([this, generation](const asio::error_code& error) {
        if (!error && generation == m_generation && m_state != CState::Up)
            Lost("no answer within " + std::to_string(kConnectTimeout.count()) + " s");
    });
    m_resolver->async_resolve(m_host, m_port,
                              [this, generation](const asio::error_code& error,
                                                 const asio::ip::tcp::resolver::results_type& results) {
                                  if (generation != m_generation)
                                      return;
                                  if (error) {
                                      Lost("cannot resolve " + m_host + ": " + error.message());
                                      return;
                                  }
                                  asio::async_connect(*m_socket, results,
                                                      [this, generation](const asio::error_code& error,
                                                                         const asio::ip::tcp::endpoint&) {
                                                          Connected(generation, error);
                                                      });
                              });
}

void CNatsLink::Connected(uint64_t generation, const asio::error_code& error)
{
    if (generation != m_generation)
        return;
    if (error) {
        Lost(error.message());
        return;
    }
    asio::error_code ignored;
    m_socket->set_option(asio::ip::tcp::no_delay(true), ignored);
    m_state = CState::AwaitInfo;
    Read(generation);
}

void CNatsLink::Read(uint64_t generation)
{
    if (m_readBuffer.empty())
        m_readBuffer.resize(kReadChunk);
    m_socket->async_read_some(
        asio::buffer(m_readBuffer), [this, generation](const asio::error_code& error, std::size_t n) {
            if (generation != m_generation)
                return;
            if (error) {
                Lost(error == asio::error::eof ? "the NATS server closed the connection" : error.message());
                return;
            }
            m_in.append(m_readBuffer.data(), n);
            if (!Parse())
                return;
            // The first connection is handed to the server's loop
            // once up; it reads from there.
            if (m_initial && m_state == CState::Up)
                return;
            Read(generation);
        });
}

bool CNatsLink::Parse()
{
    const uint64_t generation = m_generation;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t eol = m_in.find("\r\n", pos);
        if (eol == std::string::npos) {
            if (m_in.size() - pos > kMaxLine) {
                Lost("a line from the NATS server over " + std::to_string(kMaxLine) + " bytes");
                return false;
            }
            break;
        }
        std::size_t used = 0;
        if (!ParseLine(std::string_view(m_in).substr(pos, eol - pos), used))
            return false;
        if (generation != m_generation)
            return false;
        if (used == std::string::npos)
            break; // a message whose payload has not all come
        pos = eol + 2 + used;
    }
    m_in.erase(0, pos);
    return true;
}

bool CNatsLink::ParseLine(std::string_view line, std::size_t& used)
{
    const CFields fields(line);
    if (fields.count == 0)
        return true;
    const std::string_view op = fields.at[0];
    if (m_state == CState::AwaitInfo && op != "INFO") {
        Lost("not a NATS server");
        return false;
    }
    if (op == "MSG" || op == "HMSG") {
        // MSG SUBJECT SID [REPLY] SIZE, HMSG SUBJECT SID [REPLY] HEADERSIZE SIZE
        const bool headers = op == "HMSG";
        const std::size_t minimum = headers ? 5 : 4;
        std::size_t size = 0;
        std::size_t headerSize = 0;
        if (fields.count < minimum || fields.count > minimum + 1 || !ParseNumber(fields.Back(), size) ||
            (headers && (!ParseNumber(fields.Back(1), headerSize) || headerSize > size)) ||
            size > 2 * m_maxPayload + 4096) {
            Lost("a bad message header from the NATS server");
            return false;
        }
        const std::size_t start = static_cast<std::size_t>(line.data() - m_in.data()) + line.size() + 2;
        if (m_in.size() < start + size + 2) {
            used = std::string::npos;
            return true;
        }
        used = size + 2;
        CMessage message;
        message.subject = fields.at[1];
        if (fields.count == minimum + 1)
            message.reply = fields.at[3];
        const std::string_view payload = std::string_view(m_in).substr(start, size);
        message.data = payload.substr(headerSize);
        // "NATS/1.0 503": nobody subscribes to the request's subject.
        message.noResponders = headers && payload.substr(0, headerSize).rfind("NATS/1.0 503", 0) == 0;
        m_onMessage(message);
        return true;
    }
    if (op == "PING") {
        m_out += "PONG\r\n";
        Flush();
    } else if (op == "PONG") {
        if (m_state == CState::AwaitPong)
            HandshakeDone();
        else
            m_pingsOut = 0;
    } else if (op == "INFO") {
        if (m_state != CState::AwaitInfo)
            return true;
        const std::string_view info = line.substr(4);
        const std::string_view key = "\"max_payload\":";
        if (const auto at = info.find(key); at != std::string_view::npos) {
            std::size_t i = at + key.size();
            while (i < info.size() && info[i] == ' ')
                ++i;
            std::size_t end = i;
            while (end < info.size() && info[end] >= '0' && info[end] <= '9')
                ++end;
            std::size_t maxPayload = 0;
            if (ParseNumber(info.substr(i, end - i), maxPayload) && maxPayload > 0)
                m_maxPayload = maxPayload;
        }
        m_state = CState::AwaitPong;
        // Nothing else is written before the handshake ends.
        m_writing = m_connect;
        StartWrite();
    } else if (op == "-ERR") {
        ServerLog("cluster: NATS error: " + std::string(line.substr(4)));
        if (m_state != CState::Up) {
            Lost("refused: " + std::string(line.substr(4)));
            return false;
        }
    }
    // "+OK" and anything newer: nothing to do.
    return true;
}

void CNatsLink::HandshakeDone()
{
    m_state = CState::Up;
    m_attemptTimer->cancel();
    m_lastPing = std::chrono::steady_clock::now();
    m_pingsOut = 0;
    m_overflowLogged = false;
    // The subscriptions first, then what was published while away.
    std::string head;
    QueueSubscriptions(head);
    m_out.insert(0, head);
    if (m_initial)
        return;
    Flush();
    m_onLink(true);
}

void CNatsLink::QueueSubscriptions(std::string& out) const
{
    for (const auto& [subject, sid] : m_subs)
        out += "SUB " + subject + ' ' + std::to_string(sid) + "\r\n";
}

void CNatsLink::Flush()
{
    if (m_flushPosted || m_state != CState::Up)
        return;
    // Once per turn: whatever the turn publishes goes in one write.
    m_flushPosted = true;
    asio::post(m_io, [this] {
        m_flushPosted = false;
        Write();
    });
}

void CNatsLink::Write()
{
    if (m_writeActive || m_out.empty() || m_state != CState::Up)
        return;
    m_writing.swap(m_out);
    m_out.clear();
    StartWrite();
}

void CNatsLink::StartWrite()
{
    m_writeActive = true;
    m_writeSince = std::chrono::steady_clock::now();
    const uint64_t generation = m_generation;
    asio::async_write(*m_socket, asio::buffer(m_writing),
                      [this, generation](const asio::error_code& error, std::size_t) {
                          if (generation != m_generation)
                              return;
                          m_writeActive = false;
                          m_writing.clear();
                          if (error)
                              Lost(error.message());
                          else
                              Write();
                      });
}

void CNatsLink::Lost(const std::string& reason)
{
    const bool wasUp = m_state == CState::Up;
    ++m_generation;
    m_state = CState::Down;
    asio::error_code ignored;
    if (m_socket)
        m_socket->close(ignored);
    if (m_resolver)
        m_resolver->cancel();
    if (m_attemptTimer)
        m_attemptTimer->cancel();
    m_writeActive = false;
    m_writing.clear();
    m_in.clear();
    if (m_initial) {
        m_failure = reason;
        return;
    }
    if (wasUp) {
        ServerLog("cluster: lost the NATS connection (" + reason + "); reconnecting");
        m_onLink(false);
    }
    m_retryTimer.expires_after(kReconnectWait);
    m_retryTimer.async_wait([this](const asio::error_code& error) {
        if (!error && m_state == CState::Down)
            Attempt(m_io.get_executor());
    });
}

void CNatsLink::Check()
{
    if (m_state != CState::Up)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_writeActive && now - m_writeSince > kWriteDeadline) {
        Lost("it took no data for " + std::to_string(kWriteDeadline.count()) + " s");
        return;
    }
    if (now - m_lastPing < kPingInterval)
        return;
    if (m_pingsOut >= kMaxPingsOut) {
        Lost("no answer to " + std::to_string(kMaxPingsOut) + " pings");
        return;
    }
    ++m_pingsOut;
    m_lastPing = now;
    m_out += "PING\r\n";
    Flush();
}

void CNatsLink::ArmCheck()
{
    m_checkTimer.expires_after(std::chrono::seconds(1));
    m_checkTimer.async_wait([this](const asio::error_code& error) {
        if (error)
            return;
        Check();
        ArmCheck();
    });
}
