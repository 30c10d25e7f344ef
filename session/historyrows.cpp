#include "historyrows.h"

#include "netmessage.h"
#include "sqlitedb.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Schema steps, applied in order; user_version holds how many have run. A
// step is never edited once released: changes go into a new step. Files
// made before the steps were counted are at 0 with the first step's table
// already there, hence its IF NOT EXISTS.
const char* const kMigrations[] = {
    // 1: the lines of every conversation.
    R"sql(
CREATE TABLE IF NOT EXISTS lines (
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    correspondent TEXT NOT NULL,
    sender TEXT NOT NULL,
    text TEXT NOT NULL,
    face TEXT NOT NULL,
    weight INTEGER NOT NULL,
    italic INTEGER NOT NULL,
    underline INTEGER NOT NULL,
    strikeout INTEGER NOT NULL,
    charset INTEGER NOT NULL,
    pitch_family INTEGER NOT NULL,
    color INTEGER NOT NULL,
    size INTEGER NOT NULL,
    stored_id TEXT
);
CREATE INDEX IF NOT EXISTS lines_by_correspondent ON lines (correspondent, time, id);
CREATE UNIQUE INDEX IF NOT EXISTS lines_stored ON lines (stored_id, sender, time);
)sql",
    // 2: the sender's id of each message, kept once per sender, and the
    // outbox: the user's lines the server has not yet answered, in the
    // order they were typed, each as the whole record that goes out again.
    R"sql(
ALTER TABLE lines ADD COLUMN message_id TEXT;
CREATE UNIQUE INDEX lines_by_message ON lines (sender, message_id) WHERE message_id IS NOT NULL;
CREATE TABLE outbox (
    seq INTEGER PRIMARY KEY,
    message_id TEXT NOT NULL UNIQUE,
    record BLOB NOT NULL
);
)sql",
};

constexpr int kMigrationCount = static_cast<int>(std::size(kMigrations));

} // namespace

const char kLineColumns[] =
    "id, time, correspondent, sender, text, face, weight, italic, underline, strikeout,"
    " charset, pitch_family, color, size, stored_id, message_id";

CKeptLine KeptLine(const CNetMessage& line, const std::string& correspondent, int64_t time,
                   std::string storedId, std::string messageId)
{
    CKeptLine kept;
    kept.time = time;
    kept.correspondent = correspondent;
    kept.sender = line.sender;
    kept.text = line.text;
    kept.face = line.faceName;
    kept.weight = line.font.lfWeight;
    kept.italic = line.font.lfItalic;
    kept.underline = line.font.lfUnderline;
    kept.strikeout = line.font.lfStrikeOut;
    kept.charset = line.font.lfCharSet;
    kept.pitchFamily = line.font.lfPitchAndFamily;
    kept.color = line.color;
    kept.size = line.size;
    kept.storedId = std::move(storedId);
    kept.messageId = std::move(messageId);
    return kept;
}

CNetMessage ShownLine(const CKeptLine& kept, const std::string& owner)
{
    CNetMessage line;
    line.time = static_cast<int32_t>(kept.time);
    line.sender = kept.sender;
    line.recipient = kept.sender == kept.correspondent ? owner : kept.correspondent;
    line.text = kept.text;
    line.faceName = kept.face;
    const std::size_t face = std::min<std::size_t>(line.faceName.size(), CLogFont::kFaceSize - 1);
    std::memcpy(line.font.lfFaceName, line.faceName.data(), face);
    line.font.lfWeight = static_cast<int32_t>(kept.weight);
    line.font.lfItalic = static_cast<uint8_t>(kept.italic);
    line.font.lfUnderline = static_cast<uint8_t>(kept.underline);
    line.font.lfStrikeOut = static_cast<uint8_t>(kept.strikeout);
    line.font.lfCharSet = static_cast<uint8_t>(kept.charset);
    line.font.lfPitchAndFamily = static_cast<uint8_t>(kept.pitchFamily);
    line.color = static_cast<uint32_t>(kept.color);
    line.size = static_cast<int32_t>(kept.size);
    return line;
}

void BindLine(CSqliteStatement& stmt, const CKeptLine& line, bool withId)
{
    // Unbound parameters are NULL: no id lets SQLite choose one, and the
    // two optional ids stay NULL when empty.
    if (withId)
        stmt.Bind(1, line.id);
    stmt.Bind(2, line.time);
    stmt.Bind(3, line.correspondent);
    stmt.Bind(4, line.sender);
    stmt.Bind(5, line.text);
    stmt.Bind(6, line.face);
    const int64_t numbers[] = {line.weight,  line.italic,      line.underline, line.strikeout,
                               line.charset, line.pitchFamily, line.color,     line.size};
    int index = 7;
    for (const int64_t number : numbers)
        stmt.Bind(index++, number);
    if (!line.storedId.empty())
        stmt.Bind(15, line.storedId);
    if (!line.messageId.empty())
        stmt.Bind(16, line.messageId);
}

CKeptLine ReadLine(const CSqliteStatement& stmt)
{
    CKeptLine line;
    line.id = stmt.ColumnInt(0);
    line.time = stmt.ColumnInt(1);
    line.correspondent = stmt.ColumnBytes(2);
    line.sender = stmt.ColumnBytes(3);
    line.text = stmt.ColumnBytes(4);
    line.face = stmt.ColumnBytes(5);
    int64_t* numbers[] = {&line.weight,  &line.italic,      &line.underline, &line.strikeout,
                          &line.charset, &line.pitchFamily, &line.color,     &line.size};
    int column = 6;
    for (int64_t* number : numbers)
        *number = stmt.ColumnInt(column++);
    line.storedId = stmt.ColumnBytes(14);
    line.messageId = stmt.ColumnBytes(15);
    return line;
}

void PrepareHistoryDb(CSqliteDb& db)
{
    // Reading first makes a file that is no database fail here.
    if (db.QueryInt("PRAGMA user_version") > kMigrationCount)
        throw CStoreError("the history was written by a newer Murmurly");
    // WAL: the writer's commits never hold up a window that reads.
    db.Exec("PRAGMA journal_mode = WAL");
    if (db.QueryInt("PRAGMA user_version") == kMigrationCount)
        return;
    // Both connections of a history may get here; the second finds the
    // steps done once it holds the write lock.
    CSqliteTransaction tx(db);
    const int64_t version = db.QueryInt("PRAGMA user_version");
    for (int64_t step = version; step < kMigrationCount; ++step)
        db.Exec(kMigrations[step]);
    if (version < kMigrationCount)
        db.Exec(("PRAGMA user_version = " + std::to_string(kMigrationCount)).c_str());
    tx.Commit();
}
