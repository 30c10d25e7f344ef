#include "pgconnection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

std::string OneLine(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    std::string out;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t");
        const auto last = line.find_last_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        if (!out.empty())
            out += ' ';
        out += line.substr(first, last - first + 1);
    }
    return out;
}

std::string PgConnectionString(const std::string& uri, std::chrono::milliseconds timeout)
{
    char* error = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(uri.c_str(), &error);
    if (!parsed) {
        const std::string reason = error ? OneLine(error) : "out of memory";
        PQfreemem(error);
        throw CStoreError("bad database address: " + reason);
    }
    std::map<std::string, std::string> values;
    for (const PQconninfoOption* option = parsed; option->keyword; ++option)
        if (option->val)
            values[option->keyword] = option->val;
    PQconninfoFree(parsed);

    const long long ms = std::max<long long>(timeout.count(), 1);
    const long long seconds = (ms + 999) / 1000;
    // Keepalive probes start after a third of the timeout in silence; three
    // unanswered ones, a ninth apart, end the connection: two thirds in all.
    // libpq counts in whole seconds and waits at least 2 s for a connection.
    const std::pair<const char*, std::string> deadlines[] = {
        {"connect_timeout", std::to_string(std::max(seconds, 2LL))},
        {"keepalives", "1"},
        {"keepalives_idle", std::to_string(std::max(seconds / 3, 1LL))},
        {"keepalives_interval", std::to_string(std::max(seconds / 9, 1LL))},
        {"keepalives_count", "3"},
        {"tcp_user_timeout", std::to_string(ms)},
    };
    for (const auto& [key, value] : deadlines)
        values.try_emplace(key, value);
    // Notices ("relation exists, skipping") are not the log's business. The
    // URI's own options come after these, and the last one wins.
    std::string options = "-c statement_timeout=" + std::to_string(ms) + " -c client_min_messages=warning";
    if (const auto given = values.find("options"); given != values.end())
        options += " " + given->second;
    values["options"] = options;

    std::string conninfo;
    for (const auto& [key, value] : values) {
        conninfo += key + "='";
        for (const char c : value) {
            if (c == '\'' || c == '\\')
                conninfo += '\\';
            conninfo += c;
        }
        conninfo += "' ";
    }
    return conninfo;
}

CPgConnection::CPgConnection(const std::string& uri, std::chrono::milliseconds timeout,
                             std::function<void(pqxx::connection&)> prepare)
    : m_conninfo(PgConnectionString(uri, timeout)), m_prepare(std::move(prepare))
{
}

CPgConnection::~CPgConnection()
{
    Drop({});
}

pqxx::connection& CPgConnection::Open()
{
    if (!m_conn)
        Connect();
    return *m_conn;
}

void CPgConnection::Connect()
{
    auto conn = std::make_unique<pqxx::connection>(m_conninfo);
    // This object replaces a failed connection itself, with a socket it
    // knows: libpqxx must not reopen one behind its back.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    conn->inhibit_reactivation(true);
#pragma GCC diagnostic pop
    m_prepare(*conn);
    const int socket = ::fcntl(conn->sock(), F_DUPFD_CLOEXEC, 0);
    if (socket < 0)
        throw CStoreError(std::string("cannot watch the database connection: ") + std::strerror(errno));
    std::lock_guard lock(m_socketMutex);
    m_socket = socket;
    m_conn = std::move(conn);
}

void CPgConnection::Drop(const std::string& reason) noexcept
{
    {
        std::lock_guard lock(m_socketMutex);
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
    }
    m_conn.reset();
    if (m_open && !m_failed) {
        m_failed = true;
        m_failure = reason;
    }
}

void CPgConnection::Failed(const std::exception& error, unsigned interrupts, bool mayRetry)
{
    const std::string reason = OneLine(error.what());
    const bool interrupted = m_interrupts.load() != interrupts;
    if (!interrupted && m_conn && m_conn->is_open()) {
        // The database refused the statement; in PostgreSQL that fails the
        // whole transaction, until it or a savepoint is rolled back.
        if (m_open && dynamic_cast<const pqxx::sql_error*>(&error) && !m_failed) {
            m_failed = true;
            m_failure = "the transaction failed earlier: " + reason;
        }
        throw CStoreError(reason);
    }
    if (interrupted) {
        Drop("interrupted");
        throw CStoreError("interrupted");
    }
    Drop("the connection to the database was lost: " + reason);
    if (!mayRetry)
        throw CStoreError(reason);
}

void CPgConnection::Exec(const char* sql)
{
    Run([&](pqxx::transaction_base& tx) { tx.exec(sql); });
}

void CPgConnection::Begin()
{
    Exec("BEGIN");
    m_open = true;
    m_failed = false;
    m_failure.clear();
}

void CPgConnection::Commit()
{
    if (m_failed)
        throw CStoreError(m_failure); // COMMIT would roll it back quietly
    // Committed or not, the transaction is over.
    try {
        Exec("COMMIT");
    } catch (const CStoreError&) {
        m_open = m_failed = false;
        throw;
    }
    m_open = false;
}

void CPgConnection::Rollback() noexcept
{
    if (!m_open)
        return;
    if (m_conn) {
        try {
            Exec("ROLLBACK");
        } catch (...) {
            // The connection is gone, and the transaction with it.
        }
    }
    m_open = m_failed = false;
    m_failure.clear();
}

void CPgConnection::RollbackToSavepoint() noexcept
{
    if (!m_open || !m_conn)
        return;
    try {
        Exec("ROLLBACK TO SAVEPOINT scope");
        Exec("RELEASE SAVEPOINT scope");
        // Every savepoint was set while the transaction was sound.
        m_failed = false;
        m_failure.clear();
    } catch (...) {
        // The transaction stays failed: its outermost scope ends it.
    }
}

void CPgConnection::Interrupt() noexcept
{
    // Counted first, so that the statement that fails knows why.
    ++m_interrupts;
    std::lock_guard lock(m_socketMutex);
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}
