#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// In a child process between fork and exec: closes every descriptor above
// standard error. The program it becomes then holds none of the parent's
// sockets open, so that a connection the parent closes does close.
void CloseInheritedFiles();

// A scratch folder removed with the object.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The real murmurly-server executable as a child process. What it writes on
// standard output and error goes to a log file; the port it listens on is
// read from its line "listening on ADDRESS:PORT". Killed with the object when
// it still runs. Plain C++, for the tests and the benchmarks alike.
class CServerProcess
{
public:
    // A server of its own for one test: a scratch folder with a new
    // database, fast password hashing, loopback, a free port; `extraArgs`
    // follow (a certificate and key for TLS, say).
    explicit CServerProcess(std::vector<std::string> extraArgs = {});
    // Exactly `args`, the log in `dir`. With `waitListening` the constructor
    // waits up to 10 s for the port (Port() stays 0 when none comes, and the
    // log is printed); `exe`: another server program than the one built here.
    CServerProcess(const std::filesystem::path& dir, std::vector<std::string> args, bool waitListening = true,
                   const std::string& exe = {});
    ~CServerProcess();
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    bool IsRunning() const { return m_port != 0 && m_pid > 0; }
    // What the server wrote so far.
    std::string Log() const;
    // Sends `signal` and waits for the exit; returns the exit status, or -1
    // on a crash or when it does not end within 10 s.
    int Stop(int signal);
    // Waits for the process to end by itself; its exit status, or -1.
    int Wait(std::chrono::milliseconds timeout);

private:
    void Start(const std::filesystem::path& dir, std::vector<std::string> args, bool waitListening,
               const std::string& exe);

    std::unique_ptr<CTempDir> m_scratch; // only for a server of its own
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::filesystem::path m_logPath;
};
