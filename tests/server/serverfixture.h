#pragma once

#include "passwordhasher.h"
#include "serveroptions.h"
#include "testcertificate.h"
#include "testclient.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>

class CServer;
class CStore;

// A scratch folder removed with the object.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The real server, in this process, on a free loopback port, with its event
// loop on its own thread and a database in a scratch folder. With
// `faultyStore`, reading the friends list of the user "boom" throws a
// std::runtime_error, as an unforeseen fault would.
class CInProcessServer
{
public:
    explicit CInProcessServer(const std::string& dbPath,
                              CPasswordHasher::Cost cost = CPasswordHasher::Cost::Minimum,
                              const CServerLimits& limits = {}, bool faultyStore = false);
    ~CInProcessServer();

    uint16_t Port() const { return m_port; }
    CServer& Server() { return *m_server; }
    // Sends "Z" to everyone and waits for the loop to end.
    void Stop();

private:
    asio::io_context m_io;
    std::unique_ptr<CStore> m_store;
    std::unique_ptr<CServer> m_server;
    std::thread m_thread;
    uint16_t m_port = 0;
    bool m_stopped = false;
};

// The real murmurly-server executable, started with --port 0; its standard
// error goes to a file in `dir`, from which the listen line is read.
class CServerProcess
{
public:
    CServerProcess(const std::filesystem::path& dir, std::vector<std::string> args,
                   bool waitListening = true);
    ~CServerProcess();

    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    std::string Log() const;
    // Sends `signal` and waits for the exit; returns the exit status, or -1
    // on a crash or when it does not end within the time-out.
    int Stop(int signal);
    // Waits for the process to end by itself.
    int Wait(std::chrono::milliseconds timeout);

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::filesystem::path m_logPath;
};

// A NATS server of its own on a free loopback port, stopped with the object.
// Empty Url() when it did not start.
class CNatsServer
{
public:
    // The nats-server executable on PATH (or in /usr/sbin); empty when none.
    static std::string Executable();

    explicit CNatsServer(const std::filesystem::path& dir);
    ~CNatsServer();
    const std::string& Url() const { return m_url; }

private:
    pid_t m_pid = -1;
    std::string m_url;
};

// Polls `done` until it holds or `timeout` passes; returns whether it holds.
template <typename Predicate>
bool Eventually(Predicate done, std::chrono::milliseconds timeout = CTestClient::kWait)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Per-test fixture: a fresh in-process server and database.
class ServerTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    // Stops the server and starts a new one on the same database.
    void Restart(const CServerLimits& limits = {}, bool faultyStore = false);
    std::unique_ptr<CTestClient> Connect(const std::string& from = {});
    // A connected client, registered and logged in (with "SLO" sent).
    std::unique_ptr<CTestClient> Online(const std::string& name, const std::string& password = "pw");

    std::unique_ptr<CTempDir> m_dir;
    std::unique_ptr<CInProcessServer> m_server;
};
