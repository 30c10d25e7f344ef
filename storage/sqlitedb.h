#pragma once

#include "storeerror.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// A thin RAII layer over the SQLite C API. Every failure throws CStoreError
// with SQLite's own message.

class CSqliteDb
{
public:
    // Opens (creating when missing) the database file; ":memory:" works too.
    explicit CSqliteDb(const std::string& path);
    ~CSqliteDb();
    CSqliteDb(const CSqliteDb&) = delete;
    CSqliteDb& operator=(const CSqliteDb&) = delete;

    // Runs one or more statements that return no rows of interest.
    void Exec(const char* sql);
    // The first column of the first row of a query, as an integer.
    int64_t QueryInt(const char* sql);
    int64_t LastInsertRowId() const;
    int Changes() const;

    sqlite3* Handle() const { return m_db; }
    [[noreturn]] void Fail(const char* what) const;

    // Makes the statement under way on another thread fail soon, also while
    // it waits for another connection's lock; does nothing when none is.
    // Safe to call from any thread.
    void Interrupt() noexcept;

private:
    friend class CSqliteStatement;

    // Waits for another connection's lock in short naps, for up to five
    // seconds, and gives up at once when interrupted.
    static int OnBusy(void* self, int count);
    void Starting() { m_started = m_interrupts.load(); }

    sqlite3* m_db = nullptr;
    std::atomic<unsigned> m_interrupts{0};
    unsigned m_started = 0; // m_interrupts when the running statement began
    std::chrono::steady_clock::time_point m_busySince;
};

// A prepared statement that is kept for the life of the store and re-bound
// for every use. Bind* take 1-based indexes; Step returns true while there
// is a row. Reset must come before the next round of binds, and is done by
// CSqliteStatementUse automatically.
class CSqliteStatement
{
public:
    CSqliteStatement(CSqliteDb& db, const char* sql);
    ~CSqliteStatement();
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    void Bind(int index, std::string_view text);
    void BindBlob(int index, std::string_view bytes);
    void Bind(int index, int64_t value);

    bool Step();
    void Reset();

    int64_t ColumnInt(int column) const;
    // Text and blob columns alike, byte for byte.
    std::string ColumnBytes(int column) const;

private:
    CSqliteDb& m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// Resets a kept statement (and clears its bindings) when the scope ends, so a
// thrown error never leaves a statement half-used.
class CSqliteStatementUse
{
public:
    explicit CSqliteStatementUse(CSqliteStatement& stmt) : m_stmt(stmt) {}
    ~CSqliteStatementUse() { m_stmt.Reset(); }
    CSqliteStatement* operator->() { return &m_stmt; }

private:
    CSqliteStatement& m_stmt;
};

// BEGIN IMMEDIATE on construction; rolls back on destruction unless Commit
// was called.
class CSqliteTransaction
{
public:
    explicit CSqliteTransaction(CSqliteDb& db);
    ~CSqliteTransaction();
    CSqliteTransaction(const CSqliteTransaction&) = delete;
    CSqliteTransaction& operator=(const CSqliteTransaction&) = delete;

    void Commit();

private:
    CSqliteDb& m_db;
    bool m_done = false;
};
