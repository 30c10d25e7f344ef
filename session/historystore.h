#pragma once

#include "historyrows.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class CHistoryWriter;
class CNetMessage;
class CSqliteDb;

// The conversation history: every line the user sent or received, kept per
// user in an SQLite database, $XDG_DATA_HOME/murmurly/USER/history.db
// (~/.local/share without XDG_DATA_HOME), folder 0700 and file 0600. A line
// holds its time, its correspondent, its sender, its text and the format it
// is shown in (face, effects, height and colour). The same database keeps
// the user's outbox, whether the history is kept or not.
//
// Writes never run on the window's thread: they go to one writer thread
// (CHistoryWriter). Reads run here, on a connection of their own, and see
// the lines handed to the writer and not yet written as if they were.
//
// A history that cannot be written never stops a conversation: the store
// says so once (WriteFailed) and carries on without it; after a write that
// succeeds again, a later failure is said once more.
class CHistoryStore final : public QObject
{
    Q_OBJECT

public:
    // The earlier lines a conversation window shows when it opens.
    static constexpr int kShownLines = 50;

    explicit CHistoryStore(QObject* parent = nullptr);
    // Writes what is still on its way before it goes.
    ~CHistoryStore() override;
    CHistoryStore(const CHistoryStore&) = delete;
    CHistoryStore& operator=(const CHistoryStore&) = delete;

    // The database file of `user`; the name is made safe as a folder name.
    static QString DatabasePath(const std::string& user);

    // "Keep conversation history", in "Settings/History": on unless stored off.
    void LoadSettings();
    bool IsKeeping() const { return m_bKeeping; }
    // Sets and stores the switch.
    void SetKeeping(bool keep);

    // Opens the database of `owner` (made when `create` is set), so that
    // the first line of a login does not wait for it; false when it cannot
    // be opened or, without `create`, does not exist.
    bool Open(const std::string& owner, bool create);
    // Closes the open database; the next use opens it again.
    void Close();

    // A line of `owner`'s conversation with `correspondent`, as it is shown
    // now; an id in its names is the sender's id of it. Nothing when the
    // history is not kept or a name is empty.
    void Record(const std::string& owner, const std::string& correspondent, const CNetMessage& line);
    // A message the server kept for `owner` ("O": names = [stored id] or
    // [stored id, sender's id]), at the time the server received it. The
    // server delivers it again at every login until the user deletes it;
    // the stored id keeps it from being kept twice.
    void RecordStored(const std::string& owner, const CNetMessage& line);
    // Whether `owner`'s history holds the message `messageId` of `sender`:
    // the stored id it was kept with ("" when it came live), or nothing.
    std::optional<std::string> FindMessage(const std::string& owner, const std::string& sender,
                                           const std::string& messageId);

    // The last `count` lines with `correspondent`, oldest first; none when
    // the history is not kept or cannot be read.
    std::vector<CNetMessage> LastLines(const std::string& owner, const std::string& correspondent,
                                       int count = kShownLines);

    // Empties `owner`'s history and says so with Cleared; the space is given
    // back by the writer. False when it could not be emptied.
    bool Clear(const std::string& owner);

    // The outbox of `owner`: an "M" record (names = [its id]) kept until
    // the server answers it, forgotten then; and what is kept, in order.
    void KeepWaiting(const std::string& owner, const CNetMessage& record);
    void ForgetWaiting(const std::string& owner, const std::string& messageId);
    std::vector<CNetMessage> Waiting(const std::string& owner);

    // Returns once everything handed to the writer is written.
    void Flush();

signals:
    // A line could not be kept; emitted once until a line is kept again.
    void WriteFailed(const QString& text);
    // `owner`'s history was emptied: windows take its lines away.
    void Cleared(const QString& owner);
    // The lines were taken out of view but could not be deleted from disk.
    void ClearFailed(const QString& text);

private:
    struct CReader;

    // The writer, started when first needed.
    CHistoryWriter& Writer();
    // Hands a line to the writer and keeps it in view until written.
    void Queue(const std::string& owner, CKeptLine line);
    bool IsStoredKept(const CKeptLine& line);
    void OnReport(int64_t doneThrough, bool ok, bool clearFailed);
    void OnWritten(bool ok);

    std::unique_ptr<CHistoryWriter> m_pWriter;
    std::unique_ptr<CReader> m_pReader;
    std::string m_strOwner;
    // Lines handed to the writer and not yet reported written, with their
    // owners, in id order.
    std::deque<std::pair<std::string, CKeptLine>> m_pending;
    int64_t m_nNextId = 1;
    // Lines up to this id were cleared; the writer may not have deleted them yet.
    int64_t m_nClearedThrough = 0;
    bool m_bKeeping = true;
    bool m_bFailureSaid = false;
};
