#include "serverfixture.h"

#include "storeexecutor.h"

#include "adminsocket.h"
#include "metricsserver.h"
#include "server.h"
#include "sqlitedb.h"
#include "store/openstore.h"
#include "store/pgstore.h"
#include "store/sqlitestore.h"

#include <pqxx/pqxx>

#include <asio/post.hpp>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// The real store, but asking for the friends list of "boom" throws an error
// the server does not expect from a store.
template <typename Store> class CFaultyStore final : public Store
{
public:
    using Store::Store;

    std::vector<std::string> Friends(const std::string& owner) override
    {
        if (owner == "boom")
            throw std::runtime_error("injected fault");
        return Store::Friends(owner);
    }
};

// The folder of the tests' PostgreSQL, or "unavailable: REASON".
std::string PostgresInfo()
{
    const char* info = std::getenv("MURMURLY_TEST_PG");
    std::ifstream in(info ? info : "");
    std::string line;
    if (!std::getline(in, line))
        return std::string("unavailable: the tests' PostgreSQL did not start (no ") + (info ? info : "") +
               ")";
    return line;
}

// The tests share one database, "murmurly"; each test has a schema of its
// own there, which is much quicker to make and drop than a database.
std::string PostgresUri(const std::string& schema = {})
{
    std::string uri = "postgresql:///murmurly?host=" + PostgresInfo() + "&user=postgres";
    if (!schema.empty())
        uri += "&options=-csearch_path%3D" + schema;
    return uri;
}

} // namespace

CTestDatabase::CTestDatabase(const std::filesystem::path& dir, const std::string& file) : m_dir(dir)
{
    if (!Postgres()) {
        m_location = (dir / file).string();
        return;
    }
    static std::atomic<int> counter{0};
    m_name = "murmurly_test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    pqxx::connection admin(PostgresUri());
    pqxx::nontransaction(admin).exec("CREATE SCHEMA " + m_name);
    m_location = PostgresUri(m_name);
}

CTestDatabase::~CTestDatabase()
{
    if (m_name.empty())
        return;
    try {
        pqxx::connection admin(PostgresUri());
        pqxx::nontransaction(admin).exec("DROP SCHEMA IF EXISTS " + m_name + " CASCADE");
    } catch (const std::exception& error) {
        ADD_FAILURE() << "cannot drop " << m_name << ": " << error.what();
    }
}

bool CTestDatabase::Postgres()
{
    return std::getenv("MURMURLY_TEST_PG") != nullptr;
}

std::string CTestDatabase::Unavailable()
{
    if (!Postgres())
        return {};
    const std::string info = PostgresInfo();
    return info.rfind("unavailable: ", 0) == 0 ? info.substr(13) : std::string();
}

void CTestDatabase::Exec(const std::string& sql) const
{
    if (m_name.empty()) {
        CSqliteDb(m_location).Exec(sql.c_str());
        return;
    }
    pqxx::connection c(m_location);
    pqxx::nontransaction(c).exec(sql);
}

int64_t CTestDatabase::QueryInt(const std::string& sql) const
{
    if (m_name.empty())
        return CSqliteDb(m_location).QueryInt(sql.c_str());
    pqxx::connection c(m_location);
    return pqxx::nontransaction(c).exec1(sql)[0].as<int64_t>();
}

std::filesystem::path CTestDatabase::Socket()
{
    return std::filesystem::path(PostgresInfo()) / ".s.PGSQL.5432";
}

std::string CTestDatabase::LocationAt(uint16_t port) const
{
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port) + "/murmurly?options=-csearch_path%3D" +
           m_name;
}

std::filesystem::path CTestDatabase::Files() const
{
    if (m_name.empty())
        return m_dir;
    return std::filesystem::path(PostgresInfo()) / "data";
}

namespace {

class CSqliteWriteLock final : public CTestDatabase::CWriteLock
{
public:
    explicit CSqliteWriteLock(const std::string& path) : m_db(path) { m_db.Exec("BEGIN IMMEDIATE"); }
    ~CSqliteWriteLock() override { m_db.Exec("ROLLBACK"); }

private:
    CSqliteDb m_db;
};

class CPgWriteLock final : public CTestDatabase::CWriteLock
{
public:
    explicit CPgWriteLock(const std::string& uri) : m_conn(uri), m_tx(m_conn)
    {
        m_tx.exec("LOCK TABLE offline_message IN EXCLUSIVE MODE");
    }

private:
    pqxx::connection m_conn;
    pqxx::work m_tx; // rolled back, and the lock let go, with the object
};

} // namespace

std::unique_ptr<CTestDatabase::CWriteLock> CTestDatabase::HoldWrites() const
{
    if (m_name.empty())
        return std::make_unique<CSqliteWriteLock>(m_location);
    return std::make_unique<CPgWriteLock>(m_location);
}

CInProcessServer::CInProcessServer(const std::string& db, CPasswordHasher::Cost cost,
                                   const CServerLimits& limits, bool faultyStore,
                                   std::chrono::milliseconds storeTimeout)
{
    std::vector<std::unique_ptr<CStore>> stores;
    if (faultyStore && IsPostgresUri(db))
        stores.push_back(std::make_unique<CFaultyStore<CPgStore>>(db, storeTimeout));
    else if (faultyStore)
        stores.push_back(std::make_unique<CFaultyStore<CSqliteStore>>(db));
    else
        stores.push_back(OpenStore(db, storeTimeout));
    m_stores = std::make_unique<CStoreExecutor>(m_io, std::move(stores), storeTimeout);
    m_server = std::make_unique<CServer>(m_io, *m_stores, cost, limits);
    m_port = m_server->Listen("127.0.0.1", 0).port();
    m_thread = std::thread([this] { m_io.run(); });
}

CInProcessServer::~CInProcessServer()
{
    Stop();
    m_metrics.reset();
    m_admin.reset();
    m_server.reset();
    m_stores.reset();
}

void CInProcessServer::Stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    asio::post(m_io, [this] { m_server->Shutdown([this] { m_io.stop(); }); });
    m_thread.join();
}

std::size_t CInProcessServer::ConnectionCount()
{
    std::promise<std::size_t> count;
    asio::post(m_io, [&] { count.set_value(m_server->ConnectionCount()); });
    return count.get_future().get();
}

uint16_t CInProcessServer::OpenAdmin(const std::string& socket, const std::string& sqlitePath,
                                     std::chrono::milliseconds requestTimeout)
{
    std::promise<uint16_t> opened;
    asio::post(m_io, [&] {
        try {
            m_admin = std::make_unique<CAdminSocket>(m_io, *m_server, sqlitePath, requestTimeout);
            m_admin->Listen(socket);
            m_metrics = std::make_unique<CMetricsServer>(m_io, *m_server);
            opened.set_value(m_metrics->Listen("127.0.0.1:0").port());
        } catch (...) {
            opened.set_exception(std::current_exception());
        }
    });
    return opened.get_future().get();
}

CCtlResult RunCtl(const std::vector<std::string>& args, const std::string& input)
{
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        CloseInheritedFiles();
        std::vector<char*> argv{const_cast<char*>(MURMURLYCTL)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(MURMURLYCTL, argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Small enough for the pipe: written whole before anything is read.
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0)
        ADD_FAILURE() << "cannot write to murmurlyctl";
    ::close(in[1]);
    CCtlResult result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char chunk[4096];
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                texts[i]->append(chunk, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const auto& fd : fds)
        if (fd.fd >= 0) {
            ::close(fd.fd);
            ::kill(pid, SIGKILL);
        }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string CNatsServer::Executable()
{
    std::string path = "/usr/sbin:/usr/local/sbin";
    if (const char* env = std::getenv("PATH"))
        path = std::string(env) + ":" + path;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/nats-server";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

CNatsServer::CNatsServer(const std::filesystem::path& dir, uint16_t port)
{
    const std::string portArg = port ? std::to_string(port) : "-1";
    const std::string exe = Executable();
    const auto logPath = dir / "nats-server.log";
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        CloseInheritedFiles();
        // Port -1: any free one, named in the log.
        ::execl(exe.c_str(), exe.c_str(), "-a", "127.0.0.1", "-p", portArg.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::regex listening("client connections on 127\\.0\\.0\\.1:([0-9]+)");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string log;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(logPath);
        std::stringstream text;
        text << in.rdbuf();
        log = text.str();
        std::smatch match;
        if (std::regex_search(log, match, listening)) {
            m_url = "nats://127.0.0.1:" + match[1].str();
            m_port = static_cast<uint16_t>(std::stoi(match[1].str()));
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "nats-server did not report its port; log:\n" << log;
}

CNatsServer::~CNatsServer()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::kill(m_pid, SIGCONT);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void CNatsServer::Pause()
{
    ::kill(m_pid, SIGSTOP);
    const auto stopped = [this] {
        for (const auto& thread :
             std::filesystem::directory_iterator("/proc/" + std::to_string(m_pid) + "/task")) {
            std::ifstream stat(thread.path() / "stat");
            const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const auto close = text.rfind(')');
            if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'T')
                return false;
        }
        return true;
    };
    ASSERT_TRUE(Eventually(stopped)) << "nats-server did not stop";
}

void ServerTest::SetUp()
{
    if (const std::string why = CTestDatabase::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    m_dir = std::make_unique<CTempDir>();
    m_db = std::make_unique<CTestDatabase>(m_dir->Path());
    m_server = std::make_unique<CInProcessServer>(m_db->Location());
}

void ServerTest::TearDown()
{
    m_server.reset();
    m_db.reset();
    m_dir.reset();
}

void ServerTest::Restart(const CServerLimits& limits, bool faultyStore)
{
    m_server.reset();
    m_server = std::make_unique<CInProcessServer>(m_db->Location(), CPasswordHasher::Cost::Minimum, limits,
                                                  faultyStore);
}

std::unique_ptr<CTestClient> ServerTest::Connect(const std::string& from)
{
    return std::make_unique<CTestClient>(m_server->Port(), false, from);
}

std::unique_ptr<CTestClient> ServerTest::Online(const std::string& name, const std::string& password)
{
    auto client = Connect();
    client->Register(name, password);
    client->Login(name, password);
    return client;
}
