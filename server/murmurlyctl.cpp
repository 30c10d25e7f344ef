// murmurlyctl: the operator's commands for a running murmurly-server, sent
// over its admin socket (adminprotocol.h).

#include "adminprotocol.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

// How long an answer may take: a backup of a large database takes a while.
constexpr int kAnswerSeconds = 600;

const char kUsage[] = "Usage: murmurlyctl [--socket PATH] COMMAND\n"
                      "\n"
                      "Commands:\n"
                      "  users [--online]   the account names, one a line\n"
                      "  passwd NAME        set the password (from standard input, or asked for\n"
                      "                     on a terminal); the user's sessions end\n"
                      "  lock NAME          refuse the user's logins and end its sessions\n"
                      "  unlock NAME        allow them again\n"
                      "  delete NAME        delete the account and everything of it\n"
                      "  stats              what this node did since it started\n"
                      "  backup PATH        copy the SQLite database while the server serves\n"
                      "\n"
                      "  --socket PATH      the server's admin socket (default\n"
                      "                     $RUNTIME_DIRECTORY/admin.sock, /run/murmurly/admin.sock,\n"
                      "                     or $XDG_RUNTIME_DIR/murmurly/admin.sock)\n"
                      "  --help             show this text\n"
                      "  --version          show the version\n";

int Usage(const std::string& line)
{
    std::fprintf(stderr, "murmurlyctl: %s (try --help)\n", line.c_str());
    return 2;
}

int Failed(const std::string& line)
{
    std::fprintf(stderr, "murmurlyctl: %s\n", line.c_str());
    return 1;
}

std::string DefaultSocket()
{
    // The service's own folder, for an operator who is not the service.
    const char kServiceSocket[] = "/run/murmurly/admin.sock";
    if (const char* dirs = std::getenv("RUNTIME_DIRECTORY"); !(dirs && *dirs)) {
        std::error_code error;
        if (std::filesystem::exists(kServiceSocket, error))
            return kServiceSocket;
    }
    return DefaultAdminSocket();
}

// One line from standard input without its line end; on a terminal asked
// for twice, without echo. False when none came or the two differ.
bool ReadPassword(const std::string& name, std::string& password, std::string& error)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    const auto readLine = [&](const char* prompt, std::string& line) {
        termios saved{};
        if (terminal) {
            std::fputs(prompt, stderr);
            ::tcgetattr(STDIN_FILENO, &saved);
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
        const bool got = static_cast<bool>(std::getline(std::cin, line));
        if (terminal) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
            std::fputs("\n", stderr);
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return got;
    };
    if (!readLine(("New password for " + name + ": ").c_str(), password)) {
        error = "no password on standard input";
        return false;
    }
    std::string again;
    if (terminal && (!readLine("Again: ", again) || again != password)) {
        error = "the passwords differ";
        return false;
    }
    return true;
}

// Sends the request and prints the answer: 0 when done, 1 when not.
int Send(const std::string& socketPath, const std::vector<std::string>& request)
{
    if (socketPath.empty())
        return Failed("no server socket known: give --socket PATH");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        return Failed("socket path too long: " + socketPath);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Failed(std::string("cannot make a socket: ") + std::strerror(errno));
    struct CCloser
    {
        int fd;
        ~CCloser() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Failed("no server on " + socketPath + ": " + std::strerror(errno));
    const timeval wait{kAnswerSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);

    std::string text = std::string(kAdminGreeting) + "\n";
    for (const auto& line : request)
        text += line + "\n";
    text += "\n";
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return Failed("the server on " + socketPath + " closed the connection");
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n == 0)
            break;
        if (n < 0)
            return Failed(errno == EAGAIN ? "no answer from the server in time"
                                          : std::string("reading the answer: ") + std::strerror(errno));
        answer.append(chunk, static_cast<std::size_t>(n));
    }
    const std::string greeting = std::string(kAdminGreeting) + "\n";
    if (answer.rfind(greeting, 0) != 0)
        return Failed("the server on " + socketPath + " does not speak " + kAdminGreeting);
    const std::string rest = answer.substr(greeting.size());
    if (rest.rfind("ok\n", 0) == 0) {
        std::fputs(rest.c_str() + 3, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (rest.rfind("error ", 0) == 0) {
        std::string reason = rest.substr(6);
        while (!reason.empty() && reason.back() == '\n')
            reason.pop_back();
        return Failed(reason);
    }
    return Failed("an answer that makes no sense from " + socketPath);
}

int Run(const std::vector<std::string>& args)
{
    std::string socketPath;
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        if (args[i] == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (args[i] == "--version") {
            std::fputs("murmurlyctl " MURMURLY_VERSION "\n", stdout);
            return 0;
        }
        if (args[i] != "--socket")
            return Usage("unknown option '" + args[i] + "'");
        if (++i >= args.size() || args[i].empty())
            return Usage("--socket needs a value");
        socketPath = args[i];
    }
    if (i >= args.size())
        return Usage("no command");
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    if (socketPath.empty())
        socketPath = DefaultSocket();

    if (command == "users") {
        if (rest.size() > 1 || (rest.size() == 1 && rest[0] != "--online"))
            return Usage("users takes only --online");
        return Send(socketPath, rest.empty() ? std::vector<std::string>{"users"}
                                             : std::vector<std::string>{"users", "--online"});
    }
    if (command == "stats") {
        if (!rest.empty())
            return Usage("stats takes nothing more");
        return Send(socketPath, {"stats"});
    }
    const bool takesName =
        command == "passwd" || command == "lock" || command == "unlock" || command == "delete";
    if (!takesName && command != "backup")
        return Usage("unknown command '" + command + "'");
    if (rest.size() != 1 || rest[0].empty())
        return Usage(command + (takesName ? " takes one NAME" : " takes one PATH"));
    if (command == "backup") {
        std::error_code error;
        const std::string path = std::filesystem::absolute(rest[0], error).string();
        if (error || path.find('\n') != std::string::npos)
            return Failed("unusable backup path '" + rest[0] + "'");
        return Send(socketPath, {"backup", path});
    }
    if (rest[0].find('\n') != std::string::npos)
        return Failed("no such user");
    if (command != "passwd")
        return Send(socketPath, {command, rest[0]});
    std::string password;
    std::string error;
    if (!ReadPassword(rest[0], password, error))
        return Failed(error);
    // An empty line would end the request; the server's rule refuses it anyway.
    if (password.empty())
        return Failed("the password is against the rule: it is empty");
    return Send(socketPath, {"passwd", rest[0], password});
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        return Failed(error.what());
    }
}
