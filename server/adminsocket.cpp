#include "adminsocket.h"

#include "adminprotocol.h"
#include "server.h"
#include "serverlog.h"
#include "store/sqlitebackup.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace {

using Local = asio::local::stream_protocol;

// A figure in milliseconds with three decimals.
std::string Milliseconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds * 1000);
    return text;
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

// One request: read whole within the bounds, then answered once.
class CAdminSocket::CConnection : public std::enable_shared_from_this<CConnection>
{
public:
    CConnection(Local::socket socket, std::shared_ptr<std::size_t> open)
        : m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_open(std::move(open))
    {
        ++*m_open;
    }
    ~CConnection() { --*m_open; }

    // Reads the request and calls `serve` with its lines after the greeting.
    template <typename Serve> void Start(std::chrono::milliseconds timeout, Serve serve)
    {
        m_timer.expires_after(timeout);
        m_timer.async_wait([weak = weak_from_this()](const asio::error_code& error) {
            if (const auto self = weak.lock(); self && !error && !self->m_whole && !self->m_answered) {
                asio::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
        Read(std::move(serve));
    }

    void Answer(const std::vector<std::string>& lines)
    {
        std::string text = std::string(kAdminGreeting) + "\nok\n";
        for (const auto& line : lines)
            text += line + "\n";
        Send(std::move(text));
    }
    void Fail(const std::string& reason) { Send(std::string(kAdminGreeting) + "\nerror " + reason + "\n"); }

private:
    template <typename Serve> void Read(Serve serve)
    {
        auto self = shared_from_this();
        m_socket.async_read_some(
            asio::buffer(m_chunk),
            [self, serve = std::move(serve)](const asio::error_code& error, std::size_t n) mutable {
                if (error)
                    return;
                self->m_request.append(self->m_chunk.data(), n);
                const auto end = self->m_request.find("\n\n");
                if (end == std::string::npos) {
                    if (self->m_request.size() > kMaxRequest)
                        self->Fail("request too long");
                    else
                        self->Read(std::move(serve));
                    return;
                }
                std::vector<std::string> lines;
                std::istringstream in(self->m_request.substr(0, end));
                for (std::string line; std::getline(in, line);)
                    lines.push_back(line);
                if (lines.empty() || lines.front() != kAdminGreeting) {
                    self->Fail("unsupported protocol version");
                    return;
                }
                lines.erase(lines.begin());
                // The request is whole: its answer takes what it takes.
                self->m_whole = true;
                self->m_timer.cancel();
                serve(self, lines);
            });
    }

    void Send(std::string text)
    {
        if (m_answered)
            return;
        m_answered = true;
        m_timer.cancel();
        auto self = shared_from_this();
        auto data = std::make_shared<std::string>(std::move(text));
        asio::async_write(m_socket, asio::buffer(*data), [self, data](const asio::error_code&, std::size_t) {
            asio::error_code ignored;
            self->m_socket.shutdown(Local::socket::shutdown_both, ignored);
            self->m_socket.close(ignored);
        });
    }

    Local::socket m_socket;
    asio::steady_timer m_timer;
    std::shared_ptr<std::size_t> m_open;
    std::array<char, 1024> m_chunk{};
    std::string m_request;
    bool m_whole = false;
    bool m_answered = false;
};

CAdminSocket::CAdminSocket(asio::io_context& io, CServer& server, std::string sqlitePath,
                           std::chrono::milliseconds requestTimeout)
    : m_io(io), m_server(server), m_sqlitePath(std::move(sqlitePath)), m_requestTimeout(requestTimeout),
      m_acceptor(io)
{
}

CAdminSocket::~CAdminSocket()
{
    asio::error_code ignored;
    m_acceptor.close(ignored);
    if (!m_path.empty())
        ::unlink(m_path.c_str());
    if (m_backup.joinable())
        m_backup.join();
}

void CAdminSocket::Listen(const std::string& path)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(path).parent_path();
    std::error_code error;
    if (!folder.empty() && !fs::exists(folder, error)) {
        fs::create_directories(folder, error);
        if (error)
            throw std::runtime_error("cannot create " + folder.string() + ": " + error.message());
        ::chmod(folder.c_str(), 0700);
    }
    if (fs::is_socket(path, error)) {
        Local::socket probe(m_io);
        asio::error_code refused;
        probe.connect(Local::endpoint(path), refused);
        if (!refused)
            throw std::runtime_error("another server answers on " + path);
        // Only a socket nobody listens on is left over; one that cannot be
        // tried (another user's) may well be in use.
        if (refused != asio::error::connection_refused)
            throw std::runtime_error("cannot tell whether a server answers on " + path + ": " +
                                     refused.message());
        fs::remove(path, error);
    }
    m_acceptor.open(Local());
    m_acceptor.bind(Local::endpoint(path));
    m_path = path;
    // Before listen: nobody can connect until the mode is in force.
    if (::chmod(path.c_str(), 0600) != 0)
        throw std::runtime_error("cannot make " + path + " private");
    m_acceptor.listen();
    Accept();
}

void CAdminSocket::Accept()
{
    m_acceptor.async_accept([this](const asio::error_code& error, Local::socket socket) {
        if (error == asio::error::operation_aborted || !m_acceptor.is_open())
            return;
        if (!error) {
            if (*m_open >= kMaxConnections) {
                asio::error_code ignored;
                socket.close(ignored);
            } else {
                auto c = std::make_shared<CConnection>(std::move(socket), m_open);
                c->Start(m_requestTimeout, [this](const CAnswer& c, const CArgs& args) { Serve(c, args); });
            }
        }
        Accept();
    });
}

void CAdminSocket::Serve(const CAnswer& c, const CArgs& args)
{
    const std::string command = args.empty() ? std::string() : args.front();
    const std::size_t given = args.size() - (args.empty() ? 0 : 1);
    const auto done = [c] {
        return [c](const std::string& reason) {
            if (reason.empty())
                c->Answer({});
            else
                c->Fail(reason);
        };
    };
    if (command == "users" && (given == 0 || (given == 1 && args[1] == "--online")))
        c->Answer(m_server.Admin().AccountNames(given == 1));
    else if (command == "passwd" && given == 2)
        m_server.Admin().SetPassword(args[1], args[2], done());
    else if ((command == "lock" || command == "unlock") && given == 1)
        m_server.Admin().SetLocked(args[1], command == "lock", done());
    else if (command == "delete" && given == 1)
        m_server.Admin().Delete(args[1], done());
    else if (command == "stats" && given == 0)
        Stats(c);
    else if (command == "backup" && given == 1)
        Backup(c, args[1]);
    else
        c->Fail("unknown request");
}

void CAdminSocket::Stats(const CAnswer& c)
{
    const CServerStats& stats = m_server.Stats();
    c->Answer({
        "uptime seconds: " + std::to_string(static_cast<long long>(Seconds(stats.Uptime()))),
        "connections: " + std::to_string(m_server.ConnectionCount()),
        "users online: " + std::to_string(m_server.OnlineCount()),
        "messages delivered: " + std::to_string(stats.delivered),
        "messages stored: " + std::to_string(stats.stored),
        "logins succeeded: " + std::to_string(stats.loginsSucceeded),
        "logins failed: " + std::to_string(stats.loginsFailed),
        "store commit p99 ms: " + Milliseconds(m_server.CommitTimes().Snapshot().p99),
        "longest loop turn in the last minute ms: " + Milliseconds(Seconds(LongestLoopTurn())),
    });
}

void CAdminSocket::Backup(const CAnswer& c, const std::string& target)
{
    if (m_sqlitePath.empty()) {
        c->Fail("the database is PostgreSQL: back it up with pg_dump");
        return;
    }
    if (target.empty() || target.front() != '/') {
        c->Fail("the backup's path must be absolute");
        return;
    }
    if (m_backingUp->exchange(true)) {
        c->Fail("a backup is under way already");
        return;
    }
    if (m_backup.joinable())
        m_backup.join(); // the last one, ended
    ServerLog("backup to " + target + " begins");
    m_backup = std::thread([this, c, target, running = m_backingUp, source = m_sqlitePath] {
        std::string reason;
        try {
            BackupSqliteDatabase(source, target);
        } catch (const std::exception& error) {
            reason = error.what();
        }
        asio::post(m_io, [c, target, reason, running] {
            running->store(false);
            ServerLog("backup to " + target + (reason.empty() ? " done" : " failed: " + reason));
            if (reason.empty())
                c->Answer({});
            else
                c->Fail(reason);
        });
    });
}
