#pragma once

#include <asio/generic/stream_protocol.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CLinkPipe;

// A network link between two programs that a test or a benchmark can spoil:
// a listener on 127.0.0.1 that passes each connection on to a target (a
// Unix socket, or a TCP port on loopback) and the bytes between them, both
// ways, unread. Without a target it pairs its connections in the order it
// accepts them instead (the first with the second, the third with the
// fourth, ...): the floor a router can be measured against, its sockets
// handled as murmurly-server handles its own, one read of up to 64 KiB at a
// time and one write of all that waits. The link can be
// - frozen: no byte passes and nothing is closed, as on a network cut that
//   sends no reset; the kernels of both ends still take what is sent, so
//   neither end notices but by a deadline of its own;
// - slowed: each chunk is passed on a fixed time after it arrived, in order;
// - cut: every connection it carries is closed.
// It runs one Asio loop on a thread of its own. Plain C++, for the server's
// tests and the benchmarks alike.
class CLinkRelay
{
public:
    using Target = asio::generic::stream_protocol::endpoint;

    // To the Unix socket at `path`.
    static Target UnixSocket(const std::string& path);
    // To `port` on 127.0.0.1.
    static Target LoopbackPort(uint16_t port);

    explicit CLinkRelay(const Target& target);
    // Pairs the connections it accepts.
    CLinkRelay();
    ~CLinkRelay();
    CLinkRelay(const CLinkRelay&) = delete;
    CLinkRelay& operator=(const CLinkRelay&) = delete;

    uint16_t Port() const { return m_port; }

    // From now on nothing passes, or everything again; what was held back
    // then passes in order. Connections made meanwhile wait as well.
    void Freeze(bool frozen = true);
    // Each chunk is passed on `delay` after it arrived, each way.
    void Slow(std::chrono::milliseconds delay) { m_delay = delay; }
    // Closes every connection made so far, without passing what was held
    // back, and passes bytes again for the connections that follow.
    void Cut();

    // Called on the loop by the pipes.
    bool Frozen() const { return m_frozen; }
    std::chrono::milliseconds Delay() const { return m_delay; }

private:
    void Listen();
    void Accept();
    // Runs `work` on the loop and waits for it.
    template <typename Work> void OnLoop(Work work);

    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
    std::optional<Target> m_target; // none: pairs its connections
    uint16_t m_port = 0;
    std::atomic<bool> m_frozen{false};
    std::atomic<std::chrono::milliseconds> m_delay{std::chrono::milliseconds(0)};
    // The loop's: the connections it carries, and the one accepted last
    // when it pairs them and its partner has not come yet.
    std::vector<std::shared_ptr<CLinkPipe>> m_pipes;
    std::optional<asio::generic::stream_protocol::socket> m_unpaired;
    std::thread m_thread;
};
