#include "sqlitedb.h"

#include <sqlite3.h>

#include <algorithm>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds kBusyTimeout{5000};

} // namespace

CSqliteDb::CSqliteDb(const std::string& path)
{
    // A new database is made readable by its owner only; SQLite gives its
    // -wal and -shm files the mode of the database file.
    if (path != ":memory:" && !path.empty()) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw CStoreError("cannot open database " + path + ": " + message);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_handler(m_db, &CSqliteDb::OnBusy, this);
}

CSqliteDb::~CSqliteDb()
{
    // Statements are finalised by their owners first; close_v2 copes if not.
    sqlite3_close_v2(m_db);
}

int CSqliteDb::OnBusy(void* self, int count)
{
    auto& db = *static_cast<CSqliteDb*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0)
        db.m_busySince = now;
    // sqlite3_interrupt alone would not end the wait: SQLite's own busy
    // handler sleeps through it.
    if (db.m_interrupts.load() != db.m_started || now - db.m_busySince >= kBusyTimeout)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(count + 1, 10)));
    return 1;
}

void CSqliteDb::Interrupt() noexcept
{
    ++m_interrupts;
    sqlite3_interrupt(m_db);
}

void CSqliteDb::Fail(const char* what) const
{
    throw CStoreError(std::string(what) + ": " + sqlite3_errmsg(m_db));
}

void CSqliteDb::Exec(const char* sql)
{
    Starting();
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw CStoreError(message);
    }
}

int64_t CSqliteDb::QueryInt(const char* sql)
{
    CSqliteStatement stmt(*this, sql);
    return stmt.Step() ? stmt.ColumnInt(0) : 0;
}

int64_t CSqliteDb::LastInsertRowId() const
{
    return sqlite3_last_insert_rowid(m_db);
}

int CSqliteDb::Changes() const
{
    return sqlite3_changes(m_db);
}

CSqliteStatement::CSqliteStatement(CSqliteDb& db, const char* sql) : m_db(db)
{
    if (sqlite3_prepare_v3(db.Handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) != SQLITE_OK)
        db.Fail("prepare");
}

CSqliteStatement::~CSqliteStatement()
{
    sqlite3_finalize(m_stmt);
}

void CSqliteStatement::Bind(int index, std::string_view text)
{
    if (sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) !=
        SQLITE_OK)
        m_db.Fail("bind");
}

void CSqliteStatement::BindBlob(int index, std::string_view bytes)
{
    // A zero-length blob must not be bound as NULL: give it a valid pointer.
    const char* data = bytes.empty() ? "" : bytes.data();
    if (sqlite3_bind_blob(m_stmt, index, data, static_cast<int>(bytes.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        m_db.Fail("bind");
}

void CSqliteStatement::Bind(int index, int64_t value)
{
    if (sqlite3_bind_int64(m_stmt, index, value) != SQLITE_OK)
        m_db.Fail("bind");
}

bool CSqliteStatement::Step()
{
    m_db.Starting();
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    m_db.Fail("step");
}

void CSqliteStatement::Reset()
{
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

int64_t CSqliteStatement::ColumnInt(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

std::string CSqliteStatement::ColumnBytes(int column) const
{
    const void* data = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    if (!data || size <= 0)
        return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

CSqliteTransaction::CSqliteTransaction(CSqliteDb& db) : m_db(db)
{
    m_db.Exec("BEGIN IMMEDIATE");
}

CSqliteTransaction::~CSqliteTransaction()
{
    if (!m_done)
        sqlite3_exec(m_db.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void CSqliteTransaction::Commit()
{
    m_db.Exec("COMMIT");
    m_done = true;
}
