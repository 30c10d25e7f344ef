#include "historystore.h"

#include "netmessage.h"
#include "usersettings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

const QString kHistoryGroup = QStringLiteral("Settings/History");
const QString kKeepKey = QStringLiteral("Keep");

const char kSchema[] = "CREATE TABLE IF NOT EXISTS lines ("
                       " id INTEGER PRIMARY KEY,"
                       " time INTEGER NOT NULL,"
                       " correspondent TEXT NOT NULL,"
                       " sender TEXT NOT NULL,"
                       " text TEXT NOT NULL,"
                       " face TEXT NOT NULL,"
                       " weight INTEGER NOT NULL,"
                       " italic INTEGER NOT NULL,"
                       " underline INTEGER NOT NULL,"
                       " strikeout INTEGER NOT NULL,"
                       " charset INTEGER NOT NULL,"
                       " pitch_family INTEGER NOT NULL,"
                       " color INTEGER NOT NULL,"
                       " size INTEGER NOT NULL,"
                       // The server's id of a stored message, which comes again
                       // at each login until deleted; NULL for the others.
                       " stored_id TEXT);"
                       "CREATE INDEX IF NOT EXISTS lines_by_correspondent ON lines (correspondent, time, id);"
                       "CREATE UNIQUE INDEX IF NOT EXISTS lines_stored ON lines (stored_id, sender, time);";

const QString kWriteFailed = QStringLiteral("Conversation history could not be saved");

// A prepared statement, finalized when it goes.
class CStatement
{
public:
    CStatement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(m_stmt);
            m_stmt = nullptr;
        }
    }
    ~CStatement() { sqlite3_finalize(m_stmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool IsValid() const { return m_stmt != nullptr; }
    void Bind(int index, const std::string& text)
    {
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void Bind(int index, int64_t value) { sqlite3_bind_int64(m_stmt, index, value); }
    int Step() { return sqlite3_step(m_stmt); }
    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    std::string Text(int column) const
    {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
        return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)))
                     : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// Letters and digits stay as they are; every other byte, and so every path
// separator or leading dot, becomes %XX.
QString SafeFolderName(const std::string& user)
{
    QString folder;
    for (const char c : user) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'))
            folder += QLatin1Char(c);
        else
            folder += QStringLiteral("%%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
    }
    return folder;
}

bool MakePrivateFolder(const QString& path)
{
    if (!QDir().mkpath(path))
        return false;
    return QFile::setPermissions(path,
                                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

CHistoryStore::CHistoryStore(QObject* parent) : QObject(parent) {}

CHistoryStore::~CHistoryStore()
{
    Close();
}

QString CHistoryStore::DatabasePath(const std::string& user)
{
    // Relative values are to be ignored, as for every XDG variable.
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/murmurly/") + SafeFolderName(user) + QStringLiteral("/history.db");
}

void CHistoryStore::LoadSettings()
{
    const std::unique_ptr<QSettings> store = OpenSettingsRoot();
    bool ok = false;
    const int keep = store->value(kHistoryGroup + QLatin1Char('/') + kKeepKey, 1).toInt(&ok);
    m_bKeeping = !ok || keep != 0;
}

void CHistoryStore::SetKeeping(bool keep)
{
    m_bKeeping = keep;
    const std::unique_ptr<QSettings> store = OpenSettingsRoot();
    store->setValue(kHistoryGroup + QLatin1Char('/') + kKeepKey, keep ? 1 : 0);
    store->sync();
    ProtectSettingsFile(*store);
}

void CHistoryStore::Close()
{
    sqlite3_close(m_db);
    m_db = nullptr;
    m_strOwner.clear();
}

sqlite3* CHistoryStore::Open(const std::string& owner, bool create)
{
    if (m_db && m_strOwner == owner)
        return m_db;
    Close();
    const QString path = DatabasePath(owner);
    const QByteArray file = QFile::encodeName(path);
    if (create) {
        const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
        const QString parent = folder.left(folder.lastIndexOf(QLatin1Char('/')));
        if (!MakePrivateFolder(parent) || !MakePrivateFolder(folder))
            return nullptr;
    } else if (!QFile::exists(path)) {
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(file.constData(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    // The journal files SQLite makes take the database file's mode.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    sqlite3_busy_timeout(db, 2000);
    if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    m_db = db;
    m_strOwner = owner;
    return m_db;
}

void CHistoryStore::Record(const std::string& owner, const std::string& correspondent,
                           const CNetMessage& line)
{
    Insert(owner, correspondent, line, QDateTime::currentSecsSinceEpoch(), {});
}

void CHistoryStore::RecordStored(const std::string& owner, const CNetMessage& line)
{
    Insert(owner, line.sender, line, line.time, line.names.empty() ? std::string() : line.names.front());
}

void CHistoryStore::Insert(const std::string& owner, const std::string& correspondent,
                           const CNetMessage& line, int64_t time, const std::string& storedId)
{
    if (!m_bKeeping || owner.empty() || correspondent.empty())
        return;
    sqlite3* db = Open(owner, true);
    if (!db) {
        OnWritten(false);
        return;
    }
    CStatement insert(db,
                      "INSERT OR IGNORE INTO lines (time, correspondent, sender, text, face, weight, italic,"
                      " underline, strikeout, charset, pitch_family, color, size, stored_id)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!insert.IsValid()) {
        OnWritten(false);
        return;
    }
    insert.Bind(1, time);
    insert.Bind(2, correspondent);
    insert.Bind(3, line.sender);
    insert.Bind(4, line.text);
    insert.Bind(5, line.faceName);
    insert.Bind(6, int64_t{line.font.lfWeight});
    insert.Bind(7, int64_t{line.font.lfItalic});
    insert.Bind(8, int64_t{line.font.lfUnderline});
    insert.Bind(9, int64_t{line.font.lfStrikeOut});
    insert.Bind(10, int64_t{line.font.lfCharSet});
    insert.Bind(11, int64_t{line.font.lfPitchAndFamily});
    insert.Bind(12, int64_t{line.color});
    insert.Bind(13, int64_t{line.size});
    if (!storedId.empty())
        insert.Bind(14, storedId);
    OnWritten(insert.Step() == SQLITE_DONE);
}

void CHistoryStore::OnWritten(bool ok)
{
    if (ok) {
        m_bFailureSaid = false;
        return;
    }
    // A database that failed (a full disk, a file that is no database) is
    // opened afresh for the next line.
    Close();
    if (m_bFailureSaid)
        return;
    m_bFailureSaid = true;
    emit WriteFailed(kWriteFailed);
}

std::vector<CNetMessage> CHistoryStore::LastLines(const std::string& owner, const std::string& correspondent,
                                                  int count)
{
    std::vector<CNetMessage> lines;
    if (!m_bKeeping || owner.empty() || correspondent.empty() || count <= 0)
        return lines;
    sqlite3* db = Open(owner, false);
    if (!db)
        return lines;
    CStatement select(db, "SELECT time, sender, text, face, weight, italic, underline, strikeout, charset,"
                          " pitch_family, color, size FROM lines WHERE correspondent = ?"
                          " ORDER BY time DESC, id DESC LIMIT ?");
    if (!select.IsValid())
        return lines;
    select.Bind(1, correspondent);
    select.Bind(2, int64_t{count});
    while (select.Step() == SQLITE_ROW) {
        CNetMessage line;
        line.time = static_cast<int32_t>(select.Int(0));
        line.sender = select.Text(1);
        line.recipient = line.sender == correspondent ? owner : correspondent;
        line.text = select.Text(2);
        line.faceName = select.Text(3);
        const std::size_t face = std::min<std::size_t>(line.faceName.size(), CLogFont::kFaceSize - 1);
        std::memcpy(line.font.lfFaceName, line.faceName.data(), face);
        line.font.lfWeight = static_cast<int32_t>(select.Int(4));
        line.font.lfItalic = static_cast<uint8_t>(select.Int(5));
        line.font.lfUnderline = static_cast<uint8_t>(select.Int(6));
        line.font.lfStrikeOut = static_cast<uint8_t>(select.Int(7));
        line.font.lfCharSet = static_cast<uint8_t>(select.Int(8));
        line.font.lfPitchAndFamily = static_cast<uint8_t>(select.Int(9));
        line.color = static_cast<uint32_t>(select.Int(10));
        line.size = static_cast<int32_t>(select.Int(11));
        lines.push_back(std::move(line));
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
}

bool CHistoryStore::Clear(const std::string& owner)
{
    if (owner.empty())
        return true;
    sqlite3* db = Open(owner, false);
    // VACUUM gives the freed pages back, so nothing of the lines stays in the file.
    const bool cleared =
        db ? sqlite3_exec(db, "DELETE FROM lines; VACUUM;", nullptr, nullptr, nullptr) == SQLITE_OK
           : !QFile::exists(DatabasePath(owner));
    if (cleared)
        emit Cleared(QString::fromStdString(owner));
    return cleared;
}
