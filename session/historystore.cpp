#include "historystore.h"

#include "historywriter.h"
#include "netmessage.h"
#include "sqlitedb.h"
#include "usersettings.h"
#include "wire.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <algorithm>
#include <memory>
#include <set>

namespace {

const QString kHistoryGroup = QStringLiteral("Settings/History");
const QString kKeepKey = QStringLiteral("Keep");

const QString kWriteFailed = QStringLiteral("Conversation history could not be saved");
const QString kClearFailed = QStringLiteral("Conversation history could not be cleared");

std::string SelectLines(const char* where)
{
    return std::string("SELECT ") + kLineColumns + " FROM lines WHERE " + where;
}

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

bool Earlier(const CKeptLine& a, const CKeptLine& b)
{
    return a.time != b.time ? a.time < b.time : a.id < b.id;
}

} // namespace

// The window thread's own connection: WAL lets it read while the writer
// writes, and it sees what the writer has committed.
struct CHistoryStore::CReader
{
    explicit CReader(const std::string& path)
        : db(path), prepared((db.Exec("PRAGMA synchronous = NORMAL"), PrepareHistoryDb(db), true)),
          lastLines(
              db, SelectLines("correspondent = ?1 AND id > ?2 ORDER BY time DESC, id DESC LIMIT ?3").c_str()),
          findMessage(db, "SELECT stored_id FROM lines WHERE sender = ?1 AND message_id = ?2 AND id > ?3"),
          findStored(db,
                     "SELECT 1 FROM lines WHERE stored_id = ?1 AND sender = ?2 AND time = ?3 AND id > ?4"),
          waiting(db, "SELECT record FROM outbox ORDER BY seq")
    {
    }

    CSqliteDb db;
    // The schema is there before the statements are made. This connection
    // writes nothing but a new schema, without waiting for the disk: a step
    // that a power cut takes back runs again at the next start.
    bool prepared;
    CSqliteStatement lastLines;
    CSqliteStatement findMessage;
    CSqliteStatement findStored;
    CSqliteStatement waiting;
};

CHistoryStore::CHistoryStore(QObject* parent) : QObject(parent) {}

CHistoryWriter& CHistoryStore::Writer()
{
    // Made with the first database opened, at login: a session that never
    // logs in has no writer thread.
    if (!m_pWriter)
        m_pWriter = std::make_unique<CHistoryWriter>([this](const CHistoryWriter::CReport& report) {
            QMetaObject::invokeMethod(
                this, [this, report] { OnReport(report.doneThrough, report.ok, report.clearFailed); },
                Qt::QueuedConnection);
        });
    return *m_pWriter;
}

CHistoryStore::~CHistoryStore()
{
    // The reader first: the writer's connection, the last one, checkpoints
    // the log on its own thread when it closes.
    m_pReader.reset();
    m_pWriter.reset();
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

bool CHistoryStore::Open(const std::string& owner, bool create)
{
    if (m_pReader && m_strOwner == owner)
        return true;
    Close();
    if (owner.empty())
        return false;
    const QString path = DatabasePath(owner);
    if (create) {
        const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
        const QString parent = folder.left(folder.lastIndexOf(QLatin1Char('/')));
        if (!MakePrivateFolder(parent) || !MakePrivateFolder(folder))
            return false;
    } else if (!QFile::exists(path)) {
        return false;
    }
    // A clear still on its way must not be undone by reading the lines it
    // deletes without knowing of it.
    if (m_nClearedThrough != 0)
        Writer().Flush();
    const std::string file = QFile::encodeName(path).toStdString();
    try {
        m_pReader = std::make_unique<CReader>(file);
        // Ids go on rising across the databases of one run, so that a
        // report of lines written to one never counts for another's.
        m_nNextId = std::max(m_nNextId, m_pReader->db.QueryInt("SELECT coalesce(max(id), 0) FROM lines") + 1);
    } catch (const CStoreError&) {
        m_pReader.reset();
        return false;
    }
    m_strOwner = owner;
    m_nClearedThrough = 0;
    Writer().Open(file);
    return true;
}

void CHistoryStore::Close()
{
    if (!m_pReader)
        return;
    m_pReader.reset();
    m_strOwner.clear();
    m_pWriter->Close();
}

void CHistoryStore::Record(const std::string& owner, const std::string& correspondent,
                           const CNetMessage& line)
{
    if (!m_bKeeping || owner.empty() || correspondent.empty())
        return;
    Queue(owner, KeptLine(line, correspondent, QDateTime::currentSecsSinceEpoch(), {},
                          line.names.empty() ? std::string() : line.names.front()));
}

void CHistoryStore::RecordStored(const std::string& owner, const CNetMessage& line)
{
    if (!m_bKeeping || owner.empty() || line.sender.empty())
        return;
    const std::vector<std::string>& ids = line.names;
    CKeptLine kept = KeptLine(line, line.sender, line.time, ids.empty() ? std::string() : ids[0],
                              ids.size() < 2 ? std::string() : ids[1]);
    if (!Open(owner, true)) {
        OnWritten(false);
        return;
    }
    if (!IsStoredKept(kept))
        Queue(owner, std::move(kept));
}

bool CHistoryStore::IsStoredKept(const CKeptLine& line)
{
    if (line.storedId.empty())
        return false;
    for (const auto& [owner, pending] : m_pending) {
        if (owner == m_strOwner && pending.id > m_nClearedThrough && pending.storedId == line.storedId &&
            pending.sender == line.sender && pending.time == line.time)
            return true;
    }
    try {
        CSqliteStatementUse use(m_pReader->findStored);
        use->Bind(1, line.storedId);
        use->Bind(2, line.sender);
        use->Bind(3, line.time);
        use->Bind(4, m_nClearedThrough);
        return use->Step();
    } catch (const CStoreError&) {
        return false;
    }
}

void CHistoryStore::Queue(const std::string& owner, CKeptLine line)
{
    if (!Open(owner, true)) {
        OnWritten(false);
        return;
    }
    line.id = m_nNextId++;
    m_pending.push_back({owner, line});
    m_pWriter->Insert(std::move(line));
}

std::optional<std::string> CHistoryStore::FindMessage(const std::string& owner, const std::string& sender,
                                                      const std::string& messageId)
{
    if (messageId.empty() || !Open(owner, false))
        return std::nullopt;
    for (auto it = m_pending.rbegin(); it != m_pending.rend(); ++it) {
        const CKeptLine& pending = it->second;
        if (it->first == owner && pending.id > m_nClearedThrough && pending.sender == sender &&
            pending.messageId == messageId)
            return pending.storedId;
    }
    try {
        CSqliteStatementUse use(m_pReader->findMessage);
        use->Bind(1, sender);
        use->Bind(2, messageId);
        use->Bind(3, m_nClearedThrough);
        if (use->Step())
            return m_pReader->findMessage.ColumnBytes(0);
    } catch (const CStoreError&) {
    }
    return std::nullopt;
}

std::vector<CNetMessage> CHistoryStore::LastLines(const std::string& owner, const std::string& correspondent,
                                                  int count)
{
    std::vector<CNetMessage> lines;
    if (!m_bKeeping || owner.empty() || correspondent.empty() || count <= 0 || !Open(owner, false))
        return lines;
    std::vector<CKeptLine> rows;
    try {
        CSqliteStatementUse use(m_pReader->lastLines);
        use->Bind(1, correspondent);
        use->Bind(2, m_nClearedThrough);
        use->Bind(3, int64_t{count});
        while (use->Step())
            rows.push_back(ReadLine(m_pReader->lastLines));
    } catch (const CStoreError&) {
        return lines;
    }
    // The lines still on their way to the disk, unless the writer has just
    // written them and they were read above already.
    std::set<int64_t> read;
    for (const CKeptLine& row : rows)
        read.insert(row.id);
    for (const auto& [pendingOwner, pending] : m_pending) {
        if (pendingOwner == owner && pending.correspondent == correspondent &&
            pending.id > m_nClearedThrough && !read.count(pending.id))
            rows.push_back(pending);
    }
    std::sort(rows.begin(), rows.end(), Earlier);
    const std::size_t skip = rows.size() > std::size_t(count) ? rows.size() - std::size_t(count) : 0;
    for (auto it = rows.begin() + static_cast<std::ptrdiff_t>(skip); it != rows.end(); ++it)
        lines.push_back(ShownLine(*it, owner));
    return lines;
}

bool CHistoryStore::Clear(const std::string& owner)
{
    if (owner.empty())
        return true;
    if (!Open(owner, false)) {
        const bool cleared = !QFile::exists(DatabasePath(owner));
        if (cleared)
            emit Cleared(QString::fromStdString(owner));
        return cleared;
    }
    // Gone from view at once; the writer deletes them after what it has
    // been given so far, and VACUUM runs there as well.
    m_nClearedThrough = m_nNextId - 1;
    m_pWriter->Clear();
    emit Cleared(QString::fromStdString(owner));
    return true;
}

void CHistoryStore::KeepWaiting(const std::string& owner, const CNetMessage& record)
{
    if (record.names.empty())
        return;
    if (!Open(owner, true)) {
        OnWritten(false);
        return;
    }
    m_pWriter->KeepWaiting(record.names.front(), EncodeRecord(record));
}

void CHistoryStore::ForgetWaiting(const std::string& owner, const std::string& messageId)
{
    if (Open(owner, false))
        m_pWriter->ForgetWaiting(messageId);
}

std::vector<CNetMessage> CHistoryStore::Waiting(const std::string& owner)
{
    std::vector<CNetMessage> records;
    if (!Open(owner, false))
        return records;
    // Once per change of user: what an earlier login of this one left to
    // the writer counts.
    m_pWriter->Flush();
    try {
        CSqliteStatementUse use(m_pReader->waiting);
        while (use->Step()) {
            const std::string bytes = m_pReader->waiting.ColumnBytes(0);
            CNetMessage record;
            if (DecodeRecord(bytes, record, kServerLimits).status == DecodeStatus::Complete)
                records.push_back(std::move(record));
        }
    } catch (const CStoreError&) {
    }
    return records;
}

void CHistoryStore::Flush()
{
    if (m_pWriter)
        m_pWriter->Flush();
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void CHistoryStore::OnReport(int64_t doneThrough, bool ok, bool clearFailed)
{
    while (!m_pending.empty() && m_pending.front().second.id <= doneThrough)
        m_pending.pop_front();
    if (clearFailed)
        emit ClearFailed(kClearFailed);
    OnWritten(ok);
}

void CHistoryStore::OnWritten(bool ok)
{
    if (ok) {
        m_bFailureSaid = false;
        return;
    }
    if (m_bFailureSaid)
        return;
    m_bFailureSaid = true;
    emit WriteFailed(kWriteFailed);
}
