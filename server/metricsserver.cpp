#include "metricsserver.h"

#include "server.h"

#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <cstdio>
#include <stdexcept>

namespace {

using asio::ip::tcp;

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string Number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

void Metric(std::string& out, const char* name, const char* type, const char* help, const std::string& value)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    out += std::string(name) + " " + value + "\n";
}

} // namespace

std::string MetricsText(const CServer& server)
{
    const CServerStats& stats = server.Stats();
    std::string out;
    Metric(out, "murmurly_uptime_seconds", "gauge", "Seconds since the server started.",
           Number(Seconds(stats.Uptime())));
    Metric(out, "murmurly_connections", "gauge", "Client connections open.",
           std::to_string(server.ConnectionCount()));
    Metric(out, "murmurly_users_online", "gauge", "Users logged in on this node.",
           std::to_string(server.OnlineCount()));
    Metric(out, "murmurly_messages_delivered_total", "counter", "Messages handed to a recipient online.",
           std::to_string(stats.delivered));
    Metric(out, "murmurly_messages_stored_total", "counter", "Messages kept for a recipient offline.",
           std::to_string(stats.stored));
    out += "# HELP murmurly_logins_total Logins answered, by result.\n# TYPE murmurly_logins_total counter\n";
    out += "murmurly_logins_total{result=\"succeeded\"} " + std::to_string(stats.loginsSucceeded) + "\n";
    out += "murmurly_logins_total{result=\"failed\"} " + std::to_string(stats.loginsFailed) + "\n";
    Metric(out, "murmurly_loop_lag_seconds", "gauge",
           "How late the event loop last ran a timer that was due.", Number(Seconds(stats.LoopLag())));
    Metric(out, "murmurly_loop_turn_longest_seconds", "gauge",
           "The longest event loop turn in the last minute.", Number(Seconds(LongestLoopTurn())));

    const CCommitTimes::CSnapshot commits = server.CommitTimes().Snapshot();
    out += "# HELP murmurly_store_commit_seconds Time the store took to commit a group of writes.\n"
           "# TYPE murmurly_store_commit_seconds histogram\n";
    uint64_t cumulative = 0;
    for (std::size_t i = 0; i < CCommitTimes::kBounds.size(); ++i) {
        cumulative += commits.buckets[i];
        out += "murmurly_store_commit_seconds_bucket{le=\"" + Number(CCommitTimes::kBounds[i]) + "\"} " +
               std::to_string(cumulative) + "\n";
    }
    out += "murmurly_store_commit_seconds_bucket{le=\"+Inf\"} " + std::to_string(commits.count) + "\n";
    out += "murmurly_store_commit_seconds_sum " + Number(commits.sum) + "\n";
    out += "murmurly_store_commit_seconds_count " + std::to_string(commits.count) + "\n";
    return out;
}

// One request, read whole within the bounds and answered once.
class CMetricsServer::CConnection : public std::enable_shared_from_this<CConnection>
{
public:
    CConnection(tcp::socket socket, const CServer& server, std::shared_ptr<std::size_t> open)
        : m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_server(server),
          m_open(std::move(open))
    {
        ++*m_open;
    }
    ~CConnection() { --*m_open; }

    void Start()
    {
        m_timer.expires_after(kRequestTimeout);
        m_timer.async_wait([weak = weak_from_this()](const asio::error_code& error) {
            if (const auto self = weak.lock(); self && !error) {
                asio::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
        Read();
    }

private:
    void Read()
    {
        m_socket.async_read_some(
            asio::buffer(m_chunk), [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                if (error)
                    return;
                self->m_request.append(self->m_chunk.data(), n);
                if (self->m_request.find("\r\n\r\n") != std::string::npos ||
                    self->m_request.find("\n\n") != std::string::npos)
                    self->Answer();
                else if (self->m_request.size() > kMaxRequest)
                    self->Send("431 Request Header Fields Too Large", "request too large\n");
                else
                    self->Read();
            });
    }

    void Answer()
    {
        const std::string line = m_request.substr(0, m_request.find_first_of("\r\n"));
        // "GET /metrics HTTP/1.1", or with a query that Prometheus may add.
        const bool metrics = line.rfind("GET /metrics ", 0) == 0 || line.rfind("GET /metrics?", 0) == 0;
        if (metrics)
            Send("200 OK", MetricsText(m_server));
        else
            Send("404 Not Found", "not found\n");
    }

    void Send(const char* status, const std::string& body)
    {
        m_timer.cancel();
        auto text = std::make_shared<std::string>(
            std::string("HTTP/1.1 ") + status +
            "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n" +
            "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        // A scraper that does not read its answer is closed with the time-out.
        m_timer.expires_after(kRequestTimeout);
        m_timer.async_wait([weak = weak_from_this()](const asio::error_code& error) {
            if (const auto self = weak.lock(); self && !error) {
                asio::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
        asio::async_write(m_socket, asio::buffer(*text),
                          [self = shared_from_this(), text](const asio::error_code&, std::size_t) {
                              asio::error_code ignored;
                              self->m_socket.shutdown(tcp::socket::shutdown_both, ignored);
                              self->m_socket.close(ignored);
                              self->m_timer.cancel();
                          });
    }

    tcp::socket m_socket;
    asio::steady_timer m_timer;
    const CServer& m_server;
    std::shared_ptr<std::size_t> m_open;
    std::array<char, 2048> m_chunk{};
    std::string m_request;
};

CMetricsServer::CMetricsServer(asio::io_context& io, const CServer& server) : m_server(server), m_acceptor(io)
{
}

CMetricsServer::~CMetricsServer()
{
    asio::error_code ignored;
    m_acceptor.close(ignored);
}

tcp::endpoint CMetricsServer::Listen(const std::string& where)
{
    const auto colon = where.rfind(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("expected ADDR:PORT");
    std::string address = where.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    const tcp::endpoint endpoint(asio::ip::make_address(address),
                                 static_cast<uint16_t>(std::stoul(where.substr(colon + 1))));
    m_acceptor.open(endpoint.protocol());
    m_acceptor.set_option(tcp::acceptor::reuse_address(true));
    m_acceptor.bind(endpoint);
    m_acceptor.listen();
    Accept();
    return m_acceptor.local_endpoint();
}

void CMetricsServer::Accept()
{
    m_acceptor.async_accept([this](const asio::error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !m_acceptor.is_open())
            return;
        if (!error) {
            if (*m_open >= kMaxConnections) {
                asio::error_code ignored;
                socket.close(ignored);
            } else {
                std::make_shared<CConnection>(std::move(socket), m_server, m_open)->Start();
            }
        }
        Accept();
    });
}
