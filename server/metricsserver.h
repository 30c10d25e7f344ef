#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <memory>
#include <string>

class CServer;

// The node's figures in the Prometheus text format, as GET /metrics serves.
std::string MetricsText(const CServer& server);

// A small HTTP endpoint on the server's loop for Prometheus: GET /metrics
// gets the figures, anything else 404. It serves a few requests at once,
// each bounded in size and time, and closes each connection after its
// answer; it is for a scraper, not for browsers.
class CMetricsServer
{
public:
    CMetricsServer(asio::io_context& io, const CServer& server);
    ~CMetricsServer();
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;

    // `where` is ADDR:PORT ([ADDR]:PORT for IPv6). Returns the bound
    // endpoint; throws std::exception with the reason.
    asio::ip::tcp::endpoint Listen(const std::string& where);

    static constexpr std::size_t kMaxConnections = 4;
    static constexpr std::size_t kMaxRequest = 8192;
    static constexpr auto kRequestTimeout = std::chrono::seconds(5);

private:
    class CConnection;
    void Accept();

    const CServer& m_server;
    asio::ip::tcp::acceptor m_acceptor;
    std::shared_ptr<std::size_t> m_open = std::make_shared<std::size_t>(0);
};
