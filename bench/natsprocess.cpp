#include "natsprocess.h"

#include "serverprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::string ReadLog(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A connection to `port` on 127.0.0.1 is taken.
bool Listening(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return connected;
}

// A port on 127.0.0.1 that nobody listens on now.
uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

} // namespace

CNatsProcess::CNatsProcess(const std::filesystem::path& dir)
    : m_log(dir / "nats-server.log"), m_port(FreePort())
{
    Start();
}

CNatsProcess::~CNatsProcess()
{
    Kill();
}

void CNatsProcess::Signal(int signal)
{
    ::kill(m_pid, signal);
}

void CNatsProcess::Kill()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

void CNatsProcess::Start()
{
    const std::string port = std::to_string(m_port);
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fd = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        CloseInheritedFiles();
        ::execlp("nats-server", "nats-server", "-a", "127.0.0.1", "-p", port.c_str(),
                 static_cast<char*>(nullptr));
        ::execl("/usr/sbin/nats-server", "nats-server", "-a", "127.0.0.1", "-p", port.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Listening(m_port)) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("nats-server did not start (is it installed?):\n" + ReadLog(m_log));
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("nats-server took no connection within 10 s:\n" + ReadLog(m_log));
        std::this_thread::sleep_for(10ms);
    }
}
