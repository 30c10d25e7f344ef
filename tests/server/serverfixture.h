#pragma once

#include "passwordhasher.h"
#include "serveroptions.h"
#include "serverprocess.h"
#include "testcertificate.h"
#include "testclient.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

class CServer;
class CStore;

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
