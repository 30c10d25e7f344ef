#pragma once

#include "linkrelay.h"
#include "natsprocess.h"
#include "serverprocess.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// A PostgreSQL of the benchmark's own, run by tests/util/pgcluster.sh: in a
// new folder under /tmp, reachable only through its Unix socket (as the user
// postgres when run as root), stopped and removed with the object. Throws
// when it cannot start, with the reason.
class CPgCluster
{
public:
    explicit CPgCluster(const std::filesystem::path& scratch);
    ~CPgCluster();
    CPgCluster(const CPgCluster&) = delete;
    CPgCluster& operator=(const CPgCluster&) = delete;

    std::string Socket() const { return m_dir + "/.s.PGSQL.5432"; }
    // Makes a new, empty database; its URI on the Unix socket.
    std::string NewDatabase(const std::string& name) const;
    // The URI of the database `name` through `port` on 127.0.0.1.
    static std::string TcpUri(uint16_t port, const std::string& name);
    // Stops it as an operator would, and starts it again.
    void Restart();

private:
    void Run(const std::string& action);

    std::filesystem::path m_info;
    std::filesystem::path m_log;
    std::string m_dir;
};


// The servers of one row of the stall benchmark, as an operator runs them:
// two nodes on one new PostgreSQL database, joined through nats-server.
// Node A reaches both through links that the row can spoil (see CLinkRelay);
// node B reaches them directly.
class CStallNodes
{
public:
    CStallNodes(const CPgCluster& pg, const std::filesystem::path& dir, const std::string& database);

    uint16_t PortA() const { return m_a->Port(); }
    uint16_t PortB() const { return m_b->Port(); }
    // The database on its Unix socket, for the benchmark's own statements.
    const std::string& Database() const { return m_database; }
    CLinkRelay& DatabaseLink() { return m_dbLink; }
    CLinkRelay& NatsLink() { return m_natsLink; }
    CNatsProcess& Nats() { return m_nats; }
    // How many times each node has logged that another one left (was
    // declared dead, or stopped) so far.
    int LeftA() const;
    int LeftB() const;
    // What both nodes wrote so far.
    std::string Logs() const { return "node A:\n" + m_a->Log() + "node B:\n" + m_b->Log(); }

private:
    std::string m_database;
    CLinkRelay m_dbLink;
    CNatsProcess m_nats;
    CLinkRelay m_natsLink;
    std::unique_ptr<CServerProcess> m_a;
    std::unique_ptr<CServerProcess> m_b;
};
