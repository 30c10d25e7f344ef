#pragma once

#include "adminsocket.h"
#include "passwordhasher.h"
#include "serveroptions.h"
#include "serverprocess.h"
#include "testcertificate.h"
#include "testclient.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

class CMetricsServer;
class CServer;
class CStore;
class CStoreExecutor;

// The database of one test: an SQLite file in a scratch folder or, when the
// environment variable MURMURLY_TEST_PG names the information file of the
// tests' PostgreSQL (tests/util/pgcluster.sh), a new schema there that is
// dropped with the object.
class CTestDatabase
{
public:
    explicit CTestDatabase(const std::filesystem::path& dir, const std::string& file = "test.db");
    ~CTestDatabase();
    CTestDatabase(const CTestDatabase&) = delete;
    CTestDatabase& operator=(const CTestDatabase&) = delete;

    static bool Postgres();
    // Why the selected store cannot be tested here; empty when it can.
    static std::string Unavailable();

    // What --db takes: the file path or the postgresql:// URI.
    const std::string& Location() const { return m_location; }
    // PostgreSQL only: its Unix socket, and the URI that reaches the same
    // schema over TCP through `port` on 127.0.0.1 (a relay to the socket).
    static std::filesystem::path Socket();
    std::string LocationAt(uint16_t port) const;
    // On a connection of its own, so they see only what is committed.
    void Exec(const std::string& sql) const;
    int64_t QueryInt(const std::string& sql) const;
    // The folder under which the database keeps its files.
    std::filesystem::path Files() const;

    // Takes the lock that offline messages are written under, on a
    // connection of its own, until the object goes: the server's writes wait
    // meanwhile (for SQLite, up to its busy time-out of 5 s).
    class CWriteLock
    {
    public:
        virtual ~CWriteLock() = default;
    };
    std::unique_ptr<CWriteLock> HoldWrites() const;

private:
    std::filesystem::path m_dir;
    std::string m_name; // PostgreSQL only
    std::string m_location;
};

// The real server, in this process, on a free loopback port, with its event
// loop on its own thread and a database in a scratch folder. With
// `faultyStore`, reading the friends list of the user "boom" throws a
// std::runtime_error, as an unforeseen fault would. `storeTimeout` is its
// --store-timeout.
class CInProcessServer
{
public:
    explicit CInProcessServer(const std::string& db,
                              CPasswordHasher::Cost cost = CPasswordHasher::Cost::Minimum,
                              const CServerLimits& limits = {}, bool faultyStore = false,
                              std::chrono::milliseconds storeTimeout = std::chrono::seconds(10));
    ~CInProcessServer();

    uint16_t Port() const { return m_port; }
    CServer& Server() { return *m_server; }
    // The server's connections, counted on its loop.
    std::size_t ConnectionCount();
    // Opens the operator's ways in, on the loop: the admin socket at
    // `socket` (backups copy `sqlitePath`, empty for PostgreSQL) and the
    // metrics on a free loopback port, which it returns. `requestTimeout`:
    // how long the socket waits for a request to arrive whole.
    uint16_t OpenAdmin(const std::string& socket, const std::string& sqlitePath,
                       std::chrono::milliseconds requestTimeout = CAdminSocket::kRequestTimeout);
    // Sends "Z" to everyone and waits for the loop to end.
    void Stop();

private:
    asio::io_context m_io;
    std::unique_ptr<CStoreExecutor> m_stores;
    std::unique_ptr<CServer> m_server;
    std::unique_ptr<CAdminSocket> m_admin;
    std::unique_ptr<CMetricsServer> m_metrics;
    std::thread m_thread;
    uint16_t m_port = 0;
    bool m_stopped = false;
};

// A NATS server of its own on a free loopback port, stopped with the object.
// Empty Url() when it did not start.
class CNatsServer
{
public:
    // The nats-server executable on PATH (or in /usr/sbin); empty when none.
    static std::string Executable();

    // On `port`, or on any free one when 0.
    explicit CNatsServer(const std::filesystem::path& dir, uint16_t port = 0);
    ~CNatsServer();
    const std::string& Url() const { return m_url; }
    uint16_t Port() const { return m_port; }
    // For SIGSTOP and SIGCONT; the object ends a stopped server too.
    pid_t Pid() const { return m_pid; }
    // SIGSTOP, and back once the kernel has stopped every thread of it: a
    // record sent after this cannot slip through.
    void Pause();

private:
    pid_t m_pid = -1;
    std::string m_url;
    uint16_t m_port = 0;
};

// What a run of murmurlyctl gave.
struct CCtlResult
{
    int status = -1; // -1: it crashed or did not end in time
    std::string out;
    std::string err;
};

// Runs the murmurlyctl built here with `args`, `input` on its standard
// input; waits for it up to 30 s.
CCtlResult RunCtl(const std::vector<std::string>& args, const std::string& input = {});

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

// Per-test fixture: a fresh in-process server and database (see
// CTestDatabase for which store).
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
    std::unique_ptr<CTestDatabase> m_db;
    std::unique_ptr<CInProcessServer> m_server;
};
