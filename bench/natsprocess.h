#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

// nats-server on 127.0.0.1, a process of the benchmark's own, on a port
// that stays the same when it is started again; killed with the object.
class CNatsProcess
{
public:
    explicit CNatsProcess(const std::filesystem::path& dir);
    ~CNatsProcess();
    CNatsProcess(const CNatsProcess&) = delete;
    CNatsProcess& operator=(const CNatsProcess&) = delete;

    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    std::string Url() const { return "nats://127.0.0.1:" + std::to_string(m_port); }
    // SIGSTOP or SIGCONT.
    void Signal(int signal);
    // SIGKILL, and the process reaped.
    void Kill();
    // Starts it (again); waits until it takes connections.
    void Start();

private:
    std::filesystem::path m_log;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};
