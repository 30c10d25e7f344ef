#include "stallworld.h"

#include <pqxx/pqxx>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

} // namespace

CPgCluster::CPgCluster(const std::filesystem::path& scratch)
    : m_info(scratch / "pgcluster.info"), m_log(scratch / "pgcluster.log")
{
    Run("start");
    std::ifstream in(m_info);
    std::getline(in, m_dir);
    if (m_dir.rfind("unavailable: ", 0) == 0)
        throw std::runtime_error("no PostgreSQL to measure with: " + m_dir.substr(13));
}

CPgCluster::~CPgCluster()
{
    try {
        Run("stop");
    } catch (const std::exception&) {
        // What is left is under /tmp.
    }
}

void CPgCluster::Run(const std::string& action)
{
    // Not std::system: a PostgreSQL started from here must not hold this
    // program's sockets open.
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        CloseInheritedFiles();
        ::execl(MURMURLY_PGCLUSTER, MURMURLY_PGCLUSTER, action.c_str(), m_info.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("PostgreSQL: " + action + " failed:\n" + ReadFile(m_log));
}

void CPgCluster::Restart()
{
    Run("restart");
}

std::string CPgCluster::NewDatabase(const std::string& name) const
{
    pqxx::connection admin("postgresql:///postgres?host=" + m_dir + "&user=postgres");
    pqxx::nontransaction(admin).exec("CREATE DATABASE " + name);
    return "postgresql:///" + name + "?host=" + m_dir + "&user=postgres";
}

std::string CPgCluster::TcpUri(uint16_t port, const std::string& name)
{
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port) + "/" + name;
}

CStallNodes::CStallNodes(const CPgCluster& pg, const std::filesystem::path& dir, const std::string& database)
    : m_database(pg.NewDatabase(database)), m_dbLink(CLinkRelay::UnixSocket(pg.Socket())), m_nats(dir),
      m_natsLink(CLinkRelay::LoopbackPort(m_nats.Port()))
{
    // The first node makes the database, with cheap hashes; the second
    // checks them at the cost written in each.
    m_a = std::make_unique<CServerProcess>(
        dir, std::vector<std::string>{"--address", "127.0.0.1", "--port", "0", "--fast-hash", "--db",
                                      CPgCluster::TcpUri(m_dbLink.Port(), database), "--cluster",
                                      "nats://127.0.0.1:" + std::to_string(m_natsLink.Port())});
    m_b = std::make_unique<CServerProcess>(dir, std::vector<std::string>{"--address", "127.0.0.1", "--port",
                                                                         "0", "--db", m_database, "--cluster",
                                                                         m_nats.Url()});
    if (m_a->Port() == 0 || m_b->Port() == 0)
        throw std::runtime_error("a node did not start:\n" + m_a->Log() + m_b->Log());
}

int CStallNodes::LeftA() const
{
    return Count(m_a->Log(), " left; ");
}

int CStallNodes::LeftB() const
{
    return Count(m_b->Log(), " left; ");
}
