#pragma once

#include <QObject>
#include <QString>

#include <string>
#include <vector>

class CNetMessage;
struct sqlite3;

// The conversation history: every line the user sent or received, kept per
// user in an SQLite database, $XDG_DATA_HOME/murmurly/USER/history.db
// (~/.local/share without XDG_DATA_HOME), folder 0700 and file 0600. A line
// holds its time, its correspondent, its sender, its text and the format it
// is shown in (face, effects, height and colour).
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

    // A line of `owner`'s conversation with `correspondent`, as it is shown
    // now. Nothing when the history is not kept or a name is empty.
    void Record(const std::string& owner, const std::string& correspondent, const CNetMessage& line);
    // A message the server kept for `owner` ("O"), at the time the server
    // received it. The server delivers it again at every login until the
    // user deletes it; the id in its names keeps it from being kept twice.
    void RecordStored(const std::string& owner, const CNetMessage& line);

    // The last `count` lines with `correspondent`, oldest first; none when
    // the history is not kept or cannot be read.
    std::vector<CNetMessage> LastLines(const std::string& owner, const std::string& correspondent,
                                       int count = kShownLines);

    // Empties `owner`'s history and says so with Cleared. False when it
    // could not be emptied.
    bool Clear(const std::string& owner);

    // Closes the open database; the next use opens it again.
    void Close();

signals:
    // A line could not be kept; emitted once until a line is kept again.
    void WriteFailed(const QString& text);
    // `owner`'s history was emptied: windows take its lines away.
    void Cleared(const QString& owner);

private:
    // The database of `owner`, opened (and made) when `create` is set, or
    // null when it cannot be opened or, without `create`, does not exist.
    sqlite3* Open(const std::string& owner, bool create);
    void Insert(const std::string& owner, const std::string& correspondent, const CNetMessage& line,
                int64_t time, const std::string& storedId);
    void OnWritten(bool ok);

    sqlite3* m_db = nullptr;
    std::string m_strOwner;
    bool m_bKeeping = true;
    bool m_bFailureSaid = false;
};
