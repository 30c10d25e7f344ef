#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CServer;

// The operator's way in: a Unix socket, mode 0600, that speaks the protocol
// of adminprotocol.h on the server's loop. What takes long runs elsewhere:
// password hashing on the hasher's workers, store changes on the store's
// lanes, and a backup on a thread of its own.
class CAdminSocket
{
public:
    // `sqlitePath`: the database file that `backup` copies; empty for
    // PostgreSQL, whose backups are pg_dump's. `requestTimeout`: how long a
    // request may take to arrive whole (tests shorten it).
    CAdminSocket(asio::io_context& io, CServer& server, std::string sqlitePath,
                 std::chrono::milliseconds requestTimeout = kRequestTimeout);
    ~CAdminSocket();
    CAdminSocket(const CAdminSocket&) = delete;
    CAdminSocket& operator=(const CAdminSocket&) = delete;

    // Creates the socket at `path`, and its folder (mode 0700) when missing.
    // A socket left behind by a server that is gone is replaced; one that a
    // running server answers on, or that cannot be tried, is not. Throws
    // std::runtime_error with the reason.
    void Listen(const std::string& path);

    // At most this many requests at once; more are closed unanswered.
    static constexpr std::size_t kMaxConnections = 4;
    // A request must be whole within this many bytes and this time. The
    // answer may take longer: a backup does.
    static constexpr std::size_t kMaxRequest = 4096;
    static constexpr std::chrono::milliseconds kRequestTimeout = std::chrono::seconds(10);

private:
    class CConnection;
    using CArgs = std::vector<std::string>;
    using CAnswer = std::shared_ptr<CConnection>;

    void Accept();
    // Serves one request; answers through `c`.
    void Serve(const CAnswer& c, const CArgs& args);
    void Stats(const CAnswer& c);
    void Backup(const CAnswer& c, const std::string& target);

    asio::io_context& m_io;
    CServer& m_server;
    std::string m_sqlitePath;
    std::chrono::milliseconds m_requestTimeout;
    asio::local::stream_protocol::acceptor m_acceptor;
    std::string m_path;
    std::shared_ptr<std::size_t> m_open = std::make_shared<std::size_t>(0);
    std::thread m_backup;
    std::shared_ptr<std::atomic<bool>> m_backingUp = std::make_shared<std::atomic<bool>>(false);
};
