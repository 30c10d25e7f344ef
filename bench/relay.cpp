#include "relay.h"

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <array>

class CRelayConnection : public std::enable_shared_from_this<CRelayConnection>
{
public:
    CRelayConnection(CByteRelay& relay, std::size_t index, asio::ip::tcp::socket socket)
        : m_relay(relay), m_index(index), m_socket(std::move(socket))
    {
        asio::error_code ignored;
        m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    }

    void Start() { Read(); }

    void Send(const char* data, std::size_t size)
    {
        if (m_closed)
            return;
        m_pending.append(data, size);
        Write();
    }

    void Close()
    {
        m_closed = true;
        asio::error_code ignored;
        m_socket.close(ignored);
    }

private:
    void Read()
    {
        m_socket.async_read_some(
            asio::buffer(m_chunk),
            [self = shared_from_this()](const asio::error_code& error, std::size_t bytes) {
                if (error || self->m_closed) {
                    self->Close();
                    return;
                }
                self->m_relay.Forward(self->m_index, self->m_chunk.data(), bytes);
                self->Read();
            });
    }

    void Write()
    {
        if (m_writeActive || m_pending.empty())
            return;
        m_writing.swap(m_pending);
        m_pending.clear();
        m_writeActive = true;
        asio::async_write(m_socket, asio::buffer(m_writing),
                          [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                              self->m_writeActive = false;
                              self->m_writing.clear();
                              if (error) {
                                  self->Close();
                                  return;
                              }
                              self->Write();
                          });
    }

    CByteRelay& m_relay;
    std::size_t m_index;
    asio::ip::tcp::socket m_socket;
    std::array<char, 64 * 1024> m_chunk{};
    std::string m_writing;
    std::string m_pending;
    bool m_writeActive = false;
    bool m_closed = false;
};

CByteRelay::CByteRelay() : m_acceptor(m_io)
{
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
    m_acceptor.open(endpoint.protocol());
    m_acceptor.bind(endpoint);
    m_acceptor.listen();
    m_port = m_acceptor.local_endpoint().port();
    Accept();
    m_thread = std::thread([this] { m_io.run(); });
}

CByteRelay::~CByteRelay()
{
    asio::post(m_io, [this] {
        asio::error_code ignored;
        m_acceptor.close(ignored);
        for (const auto& connection : m_connections)
            connection->Close();
    });
    m_thread.join();
    m_connections.clear();
}

void CByteRelay::Accept()
{
    m_acceptor.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (error)
            return;
        const std::size_t index = m_connections.size();
        auto connection = std::make_shared<CRelayConnection>(*this, index, std::move(socket));
        m_connections.push_back(connection);
        if (const auto early = m_early.find(index); early != m_early.end()) {
            connection->Send(early->second.data(), early->second.size());
            m_early.erase(early);
        }
        connection->Start();
        Accept();
    });
}

void CByteRelay::Forward(std::size_t from, const char* data, std::size_t size)
{
    const std::size_t to = from ^ 1;
    if (to < m_connections.size())
        m_connections[to]->Send(data, size);
    else
        m_early[to].append(data, size);
}
