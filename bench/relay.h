#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class CRelayConnection;

// The floor a router can be measured against: a loopback listener that pairs
// its connections in the order it accepts them (the first with the second,
// the third with the fourth, ...) and writes every byte one of a pair sends
// to the other, unread and undecoded. It runs one Asio loop on one thread of
// its own and handles its sockets as murmurly-server does: one read of up to
// 64 KiB at a time, and a queue of bytes behind one write per connection.
class CByteRelay
{
public:
    CByteRelay();
    ~CByteRelay();
    CByteRelay(const CByteRelay&) = delete;
    CByteRelay& operator=(const CByteRelay&) = delete;

    uint16_t Port() const { return m_port; }

    // Called on the loop by the connections.
    void Forward(std::size_t from, const char* data, std::size_t size);

private:
    void Accept();

    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
    uint16_t m_port = 0;
    std::vector<std::shared_ptr<CRelayConnection>> m_connections;
    // Bytes for a partner that has not been accepted yet.
    std::unordered_map<std::size_t, std::string> m_early;
    std::thread m_thread;
};
