#include "historywriter.h"

#include "sqlitedb.h"

#include <algorithm>
#include <string>
#include <utility>

struct CHistoryWriter::CStatements
{
    explicit CStatements(CSqliteDb& db)
        : insertLine(db, (std::string("INSERT OR IGNORE INTO lines (") + kLineColumns +
                          ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)")
                             .c_str()),
          keepWaiting(db, "INSERT OR IGNORE INTO outbox (message_id, record) VALUES (?1, ?2)"),
          forgetWaiting(db, "DELETE FROM outbox WHERE message_id = ?1"), clearLines(db, "DELETE FROM lines")
    {
    }

    CSqliteStatement insertLine;
    CSqliteStatement keepWaiting;
    CSqliteStatement forgetWaiting;
    CSqliteStatement clearLines;
};

CHistoryWriter::CHistoryWriter(Reporter reporter)
    : m_reporter(std::move(reporter)), m_thread([this] { Run(); })
{
}

CHistoryWriter::~CHistoryWriter()
{
    {
        const std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void CHistoryWriter::Open(std::string path)
{
    Post(COpen{std::move(path)});
}

void CHistoryWriter::Close()
{
    Post(CClose{});
}

void CHistoryWriter::Insert(CKeptLine line)
{
    Post(std::move(line));
}

void CHistoryWriter::KeepWaiting(std::string messageId, std::string record)
{
    Post(CKeepWaiting{std::move(messageId), std::move(record)});
}

void CHistoryWriter::ForgetWaiting(std::string messageId)
{
    Post(CForgetWaiting{std::move(messageId)});
}

void CHistoryWriter::Clear()
{
    Post(CClear{});
}

void CHistoryWriter::Flush()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_bWriting; });
}

void CHistoryWriter::Post(COperation operation)
{
    {
        const std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(operation));
    }
    m_wake.notify_one();
}

void CHistoryWriter::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
        if (m_queue.empty())
            break;
        std::deque<COperation> batch;
        batch.swap(m_queue);
        m_bWriting = true;
        lock.unlock();
        CReport report;
        Write(batch, report);
        if (m_reporter)
            m_reporter(report);
        lock.lock();
        m_bWriting = false;
        m_idle.notify_all();
    }
    lock.unlock();
    CloseDatabase();
}

void CHistoryWriter::Write(std::deque<COperation>& batch, CReport& report)
{
    for (const COperation& operation : batch)
        if (const auto* line = std::get_if<CKeptLine>(&operation))
            report.doneThrough = std::max(report.doneThrough, line->id);
    // One transaction for the run of writes between two opens, closes or
    // clears; a failure loses that run, and the database is opened afresh
    // for the next one.
    std::unique_ptr<CSqliteTransaction> tx;
    const auto commit = [&tx] {
        if (tx)
            tx->Commit();
        tx.reset();
    };
    const auto begin = [this, &tx]() -> CStatements& {
        CSqliteDb& db = Database();
        if (!tx)
            tx = std::make_unique<CSqliteTransaction>(db);
        return *m_pStatements;
    };
    try {
        for (COperation& operation : batch) {
            if (auto* open = std::get_if<COpen>(&operation)) {
                commit();
                CloseDatabase();
                m_strPath = std::move(open->path);
            } else if (std::holds_alternative<CClose>(operation)) {
                commit();
                CloseDatabase();
                m_strPath.clear();
            } else if (const auto* line = std::get_if<CKeptLine>(&operation)) {
                CSqliteStatement& insert = begin().insertLine;
                CSqliteStatementUse use(insert);
                BindLine(insert, *line, true);
                use->Step();
                // Nothing written: the line is there already, or another
                // program of the same user took its id; then SQLite picks one.
                if (m_pDb->Changes() == 0) {
                    insert.Reset();
                    BindLine(insert, *line, false);
                    use->Step();
                }
            } else if (const auto* keep = std::get_if<CKeepWaiting>(&operation)) {
                CSqliteStatementUse use(begin().keepWaiting);
                use->Bind(1, keep->messageId);
                use->BindBlob(2, keep->record);
                use->Step();
            } else if (const auto* forget = std::get_if<CForgetWaiting>(&operation)) {
                CSqliteStatementUse use(begin().forgetWaiting);
                use->Bind(1, forget->messageId);
                use->Step();
            } else if (std::holds_alternative<CClear>(operation)) {
                commit();
                try {
                    CSqliteStatementUse use(begin().clearLines);
                    use->Step();
                    commit();
                    // The freed pages go back, so nothing of the lines stays in the file.
                    Database().Exec("VACUUM");
                } catch (const CStoreError&) {
                    tx.reset();
                    report.clearFailed = true;
                }
            }
        }
        commit();
    } catch (const CStoreError&) {
        tx.reset();
        CloseDatabase();
        report.ok = false;
    }
}

CSqliteDb& CHistoryWriter::Database()
{
    if (m_pDb)
        return *m_pDb;
    if (m_strPath.empty())
        throw CStoreError("no history is open");
    try {
        m_pDb = std::make_unique<CSqliteDb>(m_strPath);
        PrepareHistoryDb(*m_pDb);
        // FULL: what the user typed is on disk once its transaction
        // returns, so that not even a crash of the machine loses a line
        // the outbox still has to send.
        m_pDb->Exec("PRAGMA synchronous = FULL");
        m_pStatements = std::make_unique<CStatements>(*m_pDb);
    } catch (const CStoreError&) {
        CloseDatabase();
        throw;
    }
    return *m_pDb;
}

void CHistoryWriter::CloseDatabase()
{
    m_pStatements.reset();
    m_pDb.reset();
}
