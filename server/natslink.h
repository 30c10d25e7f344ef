#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A client of the NATS protocol on the server's own loop: no thread of its
// own, and nothing that waits.
//
// What is published or subscribed during one turn of the loop goes out in
// one write at the end of it, and whatever one read brings is handed over
// message by message, in order, from that read's handler. A record between
// two nodes thus costs a few bytes in a buffer on each side, not a hand-over
// between threads.
//
// The link connects again by itself, every kReconnectWait, when the NATS
// server closes it, takes no data for kWriteDeadline, or leaves kMaxPingsOut
// pings unanswered. On the new connection it subscribes again and sends what
// was published meanwhile (up to kMaxPending bytes), as the C client does.
//
// A subscription given up still passes on what the NATS server sent it before
// it had the end of it, so that a record in flight is answered, not lost.
//
// Its handlers hold a plain pointer to it: destroy it once the loop stopped.
class CNatsLink
{
public:
    struct CMessage
    {
        std::string_view subject;
        std::string_view reply;
        std::string_view data;
        // The NATS server's answer to a request nobody subscribes to.
        bool noResponders = false;
    };
    using MessageHandler = std::function<void(const CMessage&)>;
    // Told true when the link is up again after a loss, false when lost.
    using LinkHandler = std::function<void(bool up)>;

    static constexpr auto kConnectTimeout = std::chrono::seconds(5);
    static constexpr auto kReconnectWait = std::chrono::milliseconds(500);
    static constexpr auto kWriteDeadline = std::chrono::seconds(5);
    static constexpr auto kPingInterval = std::chrono::minutes(2);
    static constexpr int kMaxPingsOut = 2;
    static constexpr std::size_t kMaxPending = 8 << 20;

    // Connects to `url` (nats://[USER[:PASSWORD]@]HOST[:PORT]) and completes
    // the handshake before it returns, within kConnectTimeout. Throws
    // std::runtime_error with the reason when it cannot.
    CNatsLink(asio::io_context& io, const std::string& url, std::string name, MessageHandler onMessage,
              LinkHandler onLink);
    // Writes what is still queued, waiting at most a second, and closes.
    ~CNatsLink();
    CNatsLink(const CNatsLink&) = delete;
    CNatsLink& operator=(const CNatsLink&) = delete;

    // An empty `reply` publishes without one.
    void Publish(std::string_view subject, std::string_view data, std::string_view reply = {});
    void Subscribe(const std::string& subject);
    void Unsubscribe(const std::string& subject);
    bool Up() const { return m_state == CState::Up; }
    // The largest payload the NATS server takes.
    std::size_t MaxPayload() const { return m_maxPayload; }

private:
    enum class CState { Connecting, AwaitInfo, AwaitPong, Up, Down };

    // Starts a connection attempt on `executor`.
    void Attempt(const asio::any_io_executor& executor);
    void Connected(uint64_t generation, const asio::error_code& error);
    void Read(uint64_t generation);
    // Handles what m_in holds; false when the connection was lost meanwhile.
    bool Parse();
    bool ParseLine(std::string_view line, std::size_t& used);
    void HandshakeDone();
    void QueueSubscriptions(std::string& out) const;
    void Flush();
    void Write();
    // Writes m_writing; what waits follows once it is written.
    void StartWrite();
    // The connection failed or the NATS server went silent: tells the
    // handler (once it was up) and tries again after kReconnectWait.
    void Lost(const std::string& reason);
    void Check();
    void ArmCheck();

    asio::io_context& m_io;
    std::string m_host;
    std::string m_port;
    std::string m_connect; // the CONNECT line
    MessageHandler m_onMessage;
    LinkHandler m_onLink;

    CState m_state = CState::Connecting;
    bool m_initial = true;
    std::string m_failure;
    // Each connection's handlers compare this with the one they were made
    // for, so that what ends after a loss does nothing.
    uint64_t m_generation = 0;
    std::unique_ptr<asio::ip::tcp::resolver> m_resolver;
    std::unique_ptr<asio::ip::tcp::socket> m_socket;
    std::unique_ptr<asio::steady_timer> m_attemptTimer;
    asio::steady_timer m_checkTimer;
    asio::steady_timer m_retryTimer;
    std::chrono::steady_clock::time_point m_lastPing;
    int m_pingsOut = 0;
    std::size_t m_maxPayload = 1 << 20;

    std::vector<char> m_readBuffer;
    std::string m_in;
    std::string m_out;
    std::string m_writing;
    bool m_writeActive = false;
    bool m_flushPosted = false;
    bool m_overflowLogged = false;
    std::chrono::steady_clock::time_point m_writeSince;

    std::unordered_map<std::string, uint64_t> m_subs;
    uint64_t m_nextSid = 0;
};
