#include "serverprocess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

void CloseInheritedFiles()
{
    ::close_range(3, ~0u, 0);
}

CTempDir::CTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "murmurly-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a scratch folder in " +
                                 std::filesystem::temp_directory_path().string());
    m_path = pattern;
}

CTempDir::~CTempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

CServerProcess::CServerProcess(std::vector<std::string> extraArgs) : m_scratch(std::make_unique<CTempDir>())
{
    const std::string db = (m_scratch->Path() / "server.db").string();
    // Its admin socket in the scratch folder too, not in the user's runtime
    // folder, where every test's server would try the same one.
    const std::string admin = (m_scratch->Path() / "admin.sock").string();
    std::vector<std::string> args = {"--address", "127.0.0.1", "--port", "0", "--db", db, "--fast-hash"};
    args.insert(args.end(), {"--admin-socket", admin});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    Start(m_scratch->Path(), std::move(args), true, {});
}

CServerProcess::CServerProcess(const std::filesystem::path& dir, std::vector<std::string> args,
                               bool waitListening, const std::string& exe)
{
    Start(dir, std::move(args), waitListening, exe);
}

void CServerProcess::Start(const std::filesystem::path& dir, std::vector<std::string> args,
                           bool waitListening, const std::string& exe)
{
    static int counter = 0;
    m_logPath = dir / ("server-" + std::to_string(++counter) + ".log");
    std::string program = exe.empty() ? std::string(MURMURLY_SERVER_EXE) : exe;
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fd = ::open(m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        CloseInheritedFiles();
        std::vector<char*> argv;
        argv.push_back(program.data());
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
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
    std::fprintf(stderr, "the server did not report its port; its log:\n%s\n", Log().c_str());
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
