// murmurlyctl: the operator's commands for a running murmurly-server, sent
// over its admin socket (adminprotocol.h).

#include "adminprotocol.h"

#include <CLI/CLI.hpp>

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
#include <utility>
#include <vector>

namespace {

// How long an answer may take: a backup of a large database takes a while.
constexpr int kAnswerSeconds = 600;

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

// The commands and their words. Each command adds its own --help.
struct CCommandLine
{
    CLI::App app{"The operator's commands for a running murmurly-server.", "murmurlyctl"};
    std::string socketPath;
    bool online = false;
    std::string argument; // the NAME or PATH of the command that takes one

    CCommandLine()
    {
        app.set_help_flag("-h,--help", "show this text");
        app.footer("Exit status: 0 done, 1 failed (the reason on one line), 2 bad usage.\n"
                   "The manual page murmurlyctl(8) describes each command in full.");
        app.get_formatter()->column_width(22);
        app.get_formatter()->label("SUBCOMMAND", "COMMAND");
        app.add_option("--socket", socketPath,
                       "the server's admin socket (default $RUNTIME_DIRECTORY/admin.sock,\n"
                       "/run/murmurly/admin.sock, or $XDG_RUNTIME_DIR/murmurly/admin.sock)")
            ->type_name("PATH")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.set_version_flag("--version", "murmurlyctl " MURMURLY_VERSION, "show the version");
        app.require_subcommand(1);
        app.add_subcommand("users", "the account names, one a line")
            ->group("Commands")
            ->add_flag("--online", online, "only those logged in now");
        const std::pair<const char*, const char*> named[] = {
            {"passwd", "set the password (from standard input, or asked for on a terminal);\n"
                       "the user's sessions end"},
            {"lock", "refuse the user's logins and end its sessions"},
            {"unlock", "allow them again"},
            {"delete", "delete the account and everything of it"},
        };
        for (const auto& [command, description] : named)
            app.add_subcommand(command, description)
                ->group("Commands")
                ->add_option("NAME", argument, "the account")
                ->type_name("")
                ->required();
        app.add_subcommand("stats", "what this node did since it started")->group("Commands");
        app.add_subcommand("backup", "copy the SQLite database while the server serves")
            ->group("Commands")
            ->add_option("PATH", argument, "the file to write")
            ->type_name("")
            ->required();
    }

    // The command given, or "" for none.
    std::string Command() const
    {
        const auto chosen = app.get_subcommands();
        return chosen.empty() ? std::string() : chosen.front()->get_name();
    }
};

int Run(int argc, char** argv)
{
    CCommandLine line;
    try {
        line.app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // The help of the command given, if any.
        std::fputs(line.app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return 0;
    } catch (const CLI::ArgumentMismatch&) {
        return Usage("--socket needs a value"); // the one option with a value
    } catch (const CLI::ParseError& error) {
        // Without a command, what came in its place is named.
        if (line.Command().empty()) {
            const auto extra = line.app.remaining();
            if (!extra.empty())
                return Usage((extra.front().rfind("-", 0) == 0 ? "unknown option '" : "unknown command '") +
                             extra.front() + "'");
            if (dynamic_cast<const CLI::RequiredError*>(&error))
                return Usage("no command");
        }
        return Usage(error.what());
    }
    if (line.app.count("--socket") > 0 && line.socketPath.empty())
        return Usage("--socket needs a value");
    const std::string command = line.Command();
    const std::string socketPath = line.socketPath.empty() ? DefaultSocket() : line.socketPath;

    if (command == "users")
        return Send(socketPath, line.online ? std::vector<std::string>{"users", "--online"}
                                            : std::vector<std::string>{"users"});
    if (command == "stats")
        return Send(socketPath, {"stats"});
    const std::string& argument = line.argument;
    if (argument.empty())
        return Usage(command + (command == "backup" ? " takes one PATH" : " takes one NAME"));
    if (command == "backup") {
        std::error_code error;
        const std::string path = std::filesystem::absolute(argument, error).string();
        if (error || path.find('\n') != std::string::npos)
            return Failed("unusable backup path '" + argument + "'");
        return Send(socketPath, {"backup", path});
    }
    if (argument.find('\n') != std::string::npos)
        return Failed("no such user");
    if (command != "passwd")
        return Send(socketPath, {command, argument});
    std::string password;
    std::string error;
    if (!ReadPassword(argument, password, error))
        return Failed(error);
    // An empty line would end the request; the server's rule refuses it anyway.
    if (password.empty())
        return Failed("the password is against the rule: it is empty");
    return Send(socketPath, {"passwd", argument, password});
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        return Failed(error.what());
    }
}
