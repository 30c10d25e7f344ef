#include "linkrelay.h"

#include <asio/connect.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <deque>
#include <future>
#include <utility>

namespace {

using Socket = asio::generic::stream_protocol::socket;
using Clock = std::chrono::steady_clock;

} // namespace

// One connection through the relay: the accepted socket, the one to the
// target (or the partner accepted after it), and the bytes on their way in
// each direction. Reads stop while the link is frozen, so at most one chunk
// each way is held then.
class CLinkPipe : public std::enable_shared_from_this<CLinkPipe>
{
public:
    CLinkPipe(CLinkRelay& relay, Socket nearEnd, Socket farEnd)
        : m_relay(relay), m_near(std::move(nearEnd)), m_far(std::move(farEnd)), m_up(m_near, m_far),
          m_down(m_far, m_near)
    {
    }

    // Connects the far end to `target`, then passes bytes.
    void Connect(const CLinkRelay::Target& target)
    {
        m_far.async_connect(target, [self = shared_from_this()](const asio::error_code& error) {
            if (error) {
                self->Close();
                return;
            }
            // Nagle's wait would add to the delay under test; a Unix socket
            // has no such option, and refuses it.
            asio::error_code ignored;
            self->m_far.set_option(asio::ip::tcp::no_delay(true), ignored);
            self->Connected();
        });
    }

    // Both ends are connected: bytes pass from now on.
    void Connected()
    {
        m_connected = true;
        Resume();
    }

    void Resume()
    {
        for (CDirection* d : {&m_up, &m_down}) {
            Read(*d);
            Write(*d);
        }
    }

    void Close()
    {
        m_closed = true;
        asio::error_code ignored;
        m_near.close(ignored);
        m_far.close(ignored);
        m_up.timer.cancel();
        m_down.timer.cancel();
    }

    bool Closed() const { return m_closed; }

private:
    struct CDirection
    {
        CDirection(Socket& from, Socket& to) : from(from), to(to), timer(from.get_executor()) {}

        Socket& from;
        Socket& to;
        std::array<char, 64 * 1024> chunk{};
        // What was read and not yet written, with when it may pass.
        std::deque<std::pair<Clock::time_point, std::string>> queue;
        std::vector<asio::const_buffer> sending; // the chunks of the write under way
        bool reading = false;
        bool writing = false; // a write or the wait for the head's time
        asio::steady_timer timer;
    };

    bool Passing() const { return m_connected && !m_closed && !m_relay.Frozen(); }

    void Read(CDirection& d)
    {
        if (!Passing() || d.reading)
            return;
        d.reading = true;
        d.from.async_read_some(asio::buffer(d.chunk), [self = shared_from_this(),
                                                       &d](const asio::error_code& error, std::size_t bytes) {
            d.reading = false;
            if (error) {
                self->Close();
                return;
            }
            d.queue.emplace_back(Clock::now() + self->m_relay.Delay(), std::string(d.chunk.data(), bytes));
            self->Write(d);
            self->Read(d);
        });
    }

    void Write(CDirection& d)
    {
        if (!Passing() || d.writing || d.queue.empty())
            return;
        d.writing = true;
        const auto now = Clock::now();
        if (d.queue.front().first > now) {
            d.timer.expires_at(d.queue.front().first);
            d.timer.async_wait([self = shared_from_this(), &d](const asio::error_code& error) {
                d.writing = false;
                if (!error)
                    self->Write(d);
            });
            return;
        }
        // All that may pass goes in one write, as the server writes its queue.
        d.sending.clear();
        for (const auto& [due, bytes] : d.queue) {
            if (due > now)
                break;
            d.sending.push_back(asio::buffer(bytes));
        }
        asio::async_write(d.to, d.sending,
                          [self = shared_from_this(), &d](const asio::error_code& error, std::size_t) {
                              d.writing = false;
                              if (error) {
                                  self->Close();
                                  return;
                              }
                              d.queue.erase(d.queue.begin(),
                                            d.queue.begin() + static_cast<std::ptrdiff_t>(d.sending.size()));
                              self->Write(d);
                          });
    }

    CLinkRelay& m_relay;
    Socket m_near; // accepted
    Socket m_far;  // to the target, or accepted after m_near
    CDirection m_up;
    CDirection m_down;
    bool m_connected = false;
    bool m_closed = false;
};

CLinkRelay::Target CLinkRelay::UnixSocket(const std::string& path)
{
    return Target(asio::local::stream_protocol::endpoint(path));
}

CLinkRelay::Target CLinkRelay::LoopbackPort(uint16_t port)
{
    return Target(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
}

CLinkRelay::CLinkRelay(const Target& target) : m_acceptor(m_io), m_target(target)
{
    Listen();
}

CLinkRelay::CLinkRelay() : m_acceptor(m_io)
{
    Listen();
}

void CLinkRelay::Listen()
{
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
    m_acceptor.open(endpoint.protocol());
    m_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    m_acceptor.bind(endpoint);
    m_acceptor.listen();
    m_port = m_acceptor.local_endpoint().port();
    Accept();
    m_thread = std::thread([this] { m_io.run(); });
}

CLinkRelay::~CLinkRelay()
{
    asio::post(m_io, [this] {
        asio::error_code ignored;
        m_acceptor.close(ignored);
        for (const auto& pipe : m_pipes)
            pipe->Close();
        m_unpaired.reset();
    });
    m_thread.join();
    m_pipes.clear();
}

template <typename Work> void CLinkRelay::OnLoop(Work work)
{
    std::promise<void> done;
    asio::post(m_io, [&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

void CLinkRelay::Freeze(bool frozen)
{
    m_frozen = frozen;
    if (!frozen)
        OnLoop([this] {
            for (const auto& pipe : m_pipes)
                pipe->Resume();
        });
}

void CLinkRelay::Cut()
{
    OnLoop([this] {
        for (const auto& pipe : m_pipes)
            pipe->Close();
        m_pipes.clear();
        m_unpaired.reset();
        m_frozen = false;
    });
}

void CLinkRelay::Accept()
{
    m_acceptor.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (error)
            return;
        asio::error_code ignored;
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        std::erase_if(m_pipes, [](const auto& pipe) { return pipe->Closed(); });
        if (m_target) {
            auto pipe = std::make_shared<CLinkPipe>(*this, Socket(std::move(socket)), Socket(m_io));
            m_pipes.push_back(pipe);
            pipe->Connect(*m_target);
        } else if (!m_unpaired) {
            // What it sends waits in the kernel until its partner comes.
            m_unpaired.emplace(std::move(socket));
        } else {
            auto pipe = std::make_shared<CLinkPipe>(*this, std::move(*m_unpaired), Socket(std::move(socket)));
            m_unpaired.reset();
            m_pipes.push_back(pipe);
            pipe->Connected();
        }
        Accept();
    });
}
