#pragma once

#include "store.h"

#include <pqxx/pqxx>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// libpq's messages span lines (a hint, the failing statement); the server
// logs one line per event.
std::string OneLine(const std::string& text);

// The libpq connection string for `uri` with the store's deadlines added:
// a connect timeout, TCP keepalives and a TCP user timeout that notice a
// dead peer within `timeout`, and a statement timeout of `timeout`. What the
// URI sets itself stays. Throws CStoreError for a malformed URI.
std::string PgConnectionString(const std::string& uri, std::chrono::milliseconds timeout);

// The PostgreSQL connection of one store, and the transaction open on it.
// The store's thread runs statements; any thread may Interrupt them.
//
// A connection that fails is dropped, and the next statement opens a new
// one (running `prepare` on it). A statement that finds the connection dead
// while no transaction was open on it, as after a restart of the database,
// runs once more on a new connection: nothing is lost by that. Inside a
// transaction it fails, and so does every statement until Rollback.
class CPgConnection
{
public:
    CPgConnection(const std::string& uri, std::chrono::milliseconds timeout,
                  std::function<void(pqxx::connection&)> prepare);
    ~CPgConnection();
    CPgConnection(const CPgConnection&) = delete;
    CPgConnection& operator=(const CPgConnection&) = delete;

    // The connection, opened when there is none; throws CStoreError.
    pqxx::connection& Open();

    // Runs `work` with a pqxx::transaction_base& (a nontransaction: the
    // transaction, when open, is this object's) and returns its result.
    // Every error comes out as CStoreError.
    template <typename Work> auto Run(Work&& work);
    void Exec(const char* sql);

    void Begin();
    void Commit();
    void Rollback() noexcept;
    // Undoes and releases the innermost savepoint, named "scope".
    void RollbackToSavepoint() noexcept;
    bool InTransaction() const { return m_open && !m_failed; }

    void Interrupt() noexcept;

private:
    void Connect();
    // Closes the connection; a transaction open on it fails with `reason`.
    void Drop(const std::string& reason) noexcept;
    // Handles an error of a statement begun when the interrupt count was
    // `interrupts`: throws CStoreError unless the statement is to run again.
    void Failed(const std::exception& error, unsigned interrupts, bool mayRetry);

    std::string m_conninfo;
    std::function<void(pqxx::connection&)> m_prepare;
    std::unique_ptr<pqxx::connection> m_conn;
    bool m_open = false;   // a transaction was begun and not yet ended
    bool m_failed = false; // ... and cannot commit any more
    std::string m_failure; // why it failed, for the statements that follow

    // Interrupt shuts down a duplicate of the connection's socket: the
    // duplicate stays valid however libpq closes its own, and the mutex keeps
    // it from being closed while Interrupt uses it.
    std::mutex m_socketMutex;
    int m_socket = -1;
    std::atomic<unsigned> m_interrupts{0};
};

template <typename Work> auto CPgConnection::Run(Work&& work)
{
    // A dead connection is found out by the first statement that uses it:
    // when no transaction was open on it, that one is run again on a new one.
    bool mayRetry = !m_open && m_conn != nullptr;
    for (;;) {
        const unsigned interrupts = m_interrupts.load();
        try {
            if (m_failed && !m_conn)
                throw CStoreError(m_failure);
            pqxx::connection& conn = Open();
            if (m_interrupts.load() != interrupts)
                throw pqxx::broken_connection("interrupted while connecting");
            pqxx::nontransaction tx(conn);
            return work(static_cast<pqxx::transaction_base&>(tx));
        } catch (const CStoreError&) {
            throw;
        } catch (const std::exception& error) {
            Failed(error, interrupts, mayRetry);
            mayRetry = false;
        }
    }
}
