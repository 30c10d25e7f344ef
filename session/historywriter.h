#pragma once

#include "historyrows.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

class CSqliteDb;

// The one writer of a conversation history: a thread of its own that keeps
// the lines and the outbox, so that no window ever waits for the disk. What
// is handed to it is written in the order given; whatever has queued up
// while it wrote goes in one transaction, through statements kept for the
// life of the open database. Clearing (and the VACUUM after it) runs here too.
//
// After each transaction it reports, on its own thread, the highest line id
// it has handled and whether the writes succeeded.
class CHistoryWriter
{
public:
    struct CReport
    {
        int64_t doneThrough = 0; // every line up to this id is written or lost
        bool ok = true;
        bool clearFailed = false;
    };
    using Reporter = std::function<void(const CReport&)>;

    explicit CHistoryWriter(Reporter reporter);
    // Writes what is still queued, then stops.
    ~CHistoryWriter();
    CHistoryWriter(const CHistoryWriter&) = delete;
    CHistoryWriter& operator=(const CHistoryWriter&) = delete;

    // The database the next writes go to (made by the caller), and none.
    void Open(std::string path);
    void Close();
    void Insert(CKeptLine line);
    // The outbox: `record` is the encoded "M" whose id is `messageId`.
    void KeepWaiting(std::string messageId, std::string record);
    void ForgetWaiting(std::string messageId);
    // Deletes every line (not the outbox) and gives the space back.
    void Clear();
    // Returns once everything handed over so far is written.
    void Flush();

private:
    struct COpen
    {
        std::string path;
    };
    struct CClose
    {
    };
    struct CKeepWaiting
    {
        std::string messageId;
        std::string record;
    };
    struct CForgetWaiting
    {
        std::string messageId;
    };
    struct CClear
    {
    };
    using COperation = std::variant<COpen, CClose, CKeptLine, CKeepWaiting, CForgetWaiting, CClear>;
    struct CStatements;

    void Post(COperation operation);
    void Run();
    // Runs one batch; the report says how it went.
    void Write(std::deque<COperation>& batch, CReport& report);
    CSqliteDb& Database();
    void CloseDatabase();

    Reporter m_reporter;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<COperation> m_queue;
    bool m_bWriting = false;
    bool m_bStopping = false;

    // The writer thread's own.
    std::string m_strPath;
    std::unique_ptr<CSqliteDb> m_pDb;
    std::unique_ptr<CStatements> m_pStatements;

    std::thread m_thread; // last: starts once everything above is made
};
