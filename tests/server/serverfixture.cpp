#include "serverfixture.h"

#include "server.h"
#include "store/sqlitestore.h"

#include <asio/post.hpp>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

CTempDir::CTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "murmurly-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

CTempDir::~CTempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

namespace {

// The real store, but asking for the friends list of "boom" throws an error
// the server does not expect from a store.
class CFaultyStore final : public CSqliteStore
{
public:
    using CSqliteStore::CSqliteStore;

    std::vector<std::string> Friends(const std::string& owner) override
    {
        if (owner == "boom")
            throw std::runtime_error("injected fault");
        return CSqliteStore::Friends(owner);
    }
};

} // namespace

CInProcessServer::CInProcessServer(const std::string& dbPath, CPasswordHasher::Cost cost,
                                   const CServerLimits& limits, bool faultyStore)
{
    if (faultyStore)
        m_store = std::make_unique<CFaultyStore>(dbPath);
    else
        m_store = std::make_unique<CSqliteStore>(dbPath);
    m_server = std::make_unique<CServer>(m_io, *m_store, cost, limits);
    m_port = m_server->Listen("127.0.0.1", 0).port();
    m_thread = std::thread([this] { m_io.run(); });
}

CInProcessServer::~CInProcessServer()
{
    Stop();
    m_server.reset();
    m_store.reset();
}

void CInProcessServer::Stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    asio::post(m_io, [this] { m_server->Shutdown([this] { m_io.stop(); }); });
    m_thread.join();
}

CServerProcess::CServerProcess(const std::filesystem::path& dir, std::vector<std::string> args,
                               bool waitListening)
{
    static int counter = 0;
    m_logPath = dir / ("server-" + std::to_string(++counter) + ".log");
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fd = ::open(m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        std::string exe = MURMURLY_SERVER_EXE;
        argv.push_back(exe.data());
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    if (!waitListening)
        return;
    const std::regex listening("listening on [^\\n]*:([0-9]+)\\n");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::smatch match;
        const std::string log = Log();
        if (std::regex_search(log, match, listening)) {
            m_port = static_cast<uint16_t>(std::stoi(match[1]));
            return;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "the server did not report its port; log:\n" << Log();
}

CServerProcess::~CServerProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

std::string CServerProcess::Log() const
{
    std::ifstream in(m_logPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int CServerProcess::Wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

int CServerProcess::Stop(int signal)
{
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, signal);
    return Wait(10s);
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

CNatsServer::CNatsServer(const std::filesystem::path& dir)
{
    const std::string exe = Executable();
    const auto logPath = dir / "nats-server.log";
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        // Port -1: any free one, named in the log.
        ::execl(exe.c_str(), exe.c_str(), "-a", "127.0.0.1", "-p", "-1", static_cast<char*>(nullptr));
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
        ::waitpid(m_pid, nullptr, 0);
    }
}

void ServerTest::SetUp()
{
    m_dir = std::make_unique<CTempDir>();
    m_server = std::make_unique<CInProcessServer>((m_dir->Path() / "test.db").string());
}

void ServerTest::TearDown()
{
    m_server.reset();
    m_dir.reset();
}

void ServerTest::Restart(const CServerLimits& limits, bool faultyStore)
{
    m_server.reset();
    m_server = std::make_unique<CInProcessServer>((m_dir->Path() / "test.db").string(),
                                                  CPasswordHasher::Cost::Minimum, limits, faultyStore);
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
