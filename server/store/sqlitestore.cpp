#include "sqlitestore.h"

#include "fontblob.h"

#include <sqlite3.h>

#include <cstring>
#include <iterator>

namespace {

// Schema steps, applied in order; user_version holds how many have run.
// A step is never edited once released: changes go into a new step. The
// PostgreSQL store has the same steps under store/pg, with the same numbers:
// a change to the schema is a new step in both.
const char* const kMigrations[] = {
    // 1: accounts, friends, pending requests, permanent blocks, offline mail.
    // The INTEGER PRIMARY KEY columns give each list its insertion order.
    R"sql(
CREATE TABLE account (
    name TEXT PRIMARY KEY NOT NULL,
    password_hash TEXT NOT NULL
) WITHOUT ROWID;
CREATE TABLE friend (
    id INTEGER PRIMARY KEY,
    owner TEXT NOT NULL,
    name TEXT NOT NULL,
    UNIQUE (owner, name)
);
CREATE INDEX friend_by_name ON friend (name);
CREATE TABLE friend_request (
    id INTEGER PRIMARY KEY,
    requester TEXT NOT NULL,
    addressee TEXT NOT NULL,
    text BLOB NOT NULL,
    UNIQUE (addressee, requester)
);
CREATE TABLE block (
    id INTEGER PRIMARY KEY,
    blocker TEXT NOT NULL,
    blocked TEXT NOT NULL,
    UNIQUE (blocker, blocked)
);
CREATE TABLE offline_message (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    recipient TEXT NOT NULL,
    sender TEXT NOT NULL,
    text BLOB NOT NULL,
    time INTEGER NOT NULL,
    face_name BLOB NOT NULL,
    font BLOB NOT NULL,
    color INTEGER NOT NULL,
    size INTEGER NOT NULL
);
CREATE INDEX offline_message_by_recipient ON offline_message (recipient, id);
)sql",
    // 2: the sender's own id of a message, when its client gave one, so that
    // a resent message is not kept twice. NULL never conflicts.
    R"sql(
ALTER TABLE offline_message ADD COLUMN client_id TEXT;
CREATE UNIQUE INDEX offline_message_by_client_id ON offline_message (sender, client_id);
)sql",
    // 3: accounts that the operator locked: they keep everything but cannot
    // log in.
    R"sql(
ALTER TABLE account ADD COLUMN locked INTEGER NOT NULL DEFAULT 0;
)sql",
};

// What goes with an account, each statement taking its name as ?1.
const char* const kAccountDeletion[] = {
    "DELETE FROM friend WHERE owner = ?1 OR name = ?1",
    "DELETE FROM friend_request WHERE requester = ?1 OR addressee = ?1",
    "DELETE FROM block WHERE blocker = ?1 OR blocked = ?1",
    "DELETE FROM offline_message WHERE recipient = ?1",
};

constexpr int kMigrationCount = static_cast<int>(std::size(kMigrations));
static_assert(kMigrationCount == CSqliteStore::kSchemaVersion);

} // namespace

struct CSqliteStore::CStatements
{
    explicit CStatements(CSqliteDb& db)
        : createAccount(db, "INSERT OR IGNORE INTO account (name, password_hash) VALUES (?1, ?2)"),
          passwordHash(db, "SELECT password_hash FROM account WHERE name = ?1"),
          setPasswordHash(db, "UPDATE account SET password_hash = ?2 WHERE name = ?1"),
          friends(db, "SELECT name FROM friend WHERE owner = ?1 ORDER BY id"),
          friendOf(db, "SELECT owner FROM friend WHERE name = ?1 ORDER BY id"),
          isFriend(db, "SELECT 1 FROM friend WHERE owner = ?1 AND name = ?2"),
          addFriend(db, "INSERT OR IGNORE INTO friend (owner, name) VALUES (?1, ?2)"),
          removeFriend(db, "DELETE FROM friend WHERE owner = ?1 AND name = ?2"),
          addRequest(db,
                     "INSERT OR IGNORE INTO friend_request (requester, addressee, text) VALUES (?1, ?2, ?3)"),
          hasRequest(db, "SELECT 1 FROM friend_request WHERE requester = ?1 AND addressee = ?2"),
          requests(db, "SELECT requester, text FROM friend_request WHERE addressee = ?1 ORDER BY id"),
          removeRequest(db, "DELETE FROM friend_request WHERE requester = ?1 AND addressee = ?2"),
          addBlock(db, "INSERT OR IGNORE INTO block (blocker, blocked) VALUES (?1, ?2)"),
          removeBlock(db, "DELETE FROM block WHERE blocker = ?1 AND blocked = ?2"),
          isBlocked(db, "SELECT 1 FROM block WHERE blocker = ?1 AND blocked = ?2"),
          blocks(db, "SELECT blocked FROM block WHERE blocker = ?1 ORDER BY id"),
          storeMessage(db,
                       "INSERT INTO offline_message (recipient, sender, text, time, face_name, font, color, "
                       "size, client_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, NULLIF(?9, '')) "
                       "ON CONFLICT DO NOTHING"),
          messages(db, "SELECT id, sender, text, time, face_name, font, color, size, "
                       "coalesce(client_id, '') FROM offline_message "
                       "WHERE recipient = ?1 AND id >= ?2 ORDER BY id LIMIT ?3"),
          deleteMessage(db, "DELETE FROM offline_message WHERE id = ?1 AND recipient = ?2"),
          messageUsage(db, "SELECT count(*), total(length(text) + length(face_name)) FROM offline_message "
                           "WHERE recipient = ?1"),
          senderUsage(db, "SELECT count(*), total(length(text) + length(face_name)) FROM offline_message "
                          "WHERE sender = ?1"),
          totalUsage(db, "SELECT count(*), total(length(text) + length(face_name)) FROM offline_message"),
          begin(db, "BEGIN IMMEDIATE"), commit(db, "COMMIT"), rollback(db, "ROLLBACK"),
          savepoint(db, "SAVEPOINT scope"), release(db, "RELEASE scope"), rollbackTo(db, "ROLLBACK TO scope")
    {
    }

    CSqliteStatement createAccount, passwordHash, setPasswordHash;
    CSqliteStatement friends, friendOf, isFriend, addFriend, removeFriend;
    CSqliteStatement addRequest, hasRequest, requests, removeRequest;
    CSqliteStatement addBlock, removeBlock, isBlocked, blocks;
    CSqliteStatement storeMessage, messages, deleteMessage, messageUsage, senderUsage, totalUsage;
    // Scopes nest as savepoints of one name: RELEASE and ROLLBACK TO act on
    // the innermost.
    CSqliteStatement begin, commit, rollback, savepoint, release, rollbackTo;
};

namespace {

void Run(CSqliteStatement& stmt)
{
    CSqliteStatementUse use(stmt);
    use->Step();
}

void RunQuietly(CSqliteStatement& stmt) noexcept
{
    try {
        Run(stmt);
    } catch (...) {
    }
}

} // namespace

CSqliteStore::CSqliteStore(const std::string& path) : m_db(path)
{
    // Touch the file first, so that "not a database" surfaces here.
    m_db.QueryInt("PRAGMA user_version");
    if (path != ":memory:")
        m_db.Exec("PRAGMA journal_mode = WAL");
    // FULL: a commit is on disk before the answer that reports it is sent.
    m_db.Exec("PRAGMA synchronous = FULL");
    Migrate();
    m_stmt = std::make_unique<CStatements>(m_db);
}

CSqliteStore::~CSqliteStore()
{
    // A clean close keeps what is pending.
    try {
        CommitPending();
    } catch (const CStoreError&) {
    }
}

void CSqliteStore::Begin()
{
    Run(m_stmt->begin);
}

void CSqliteStore::Commit()
{
    Run(m_stmt->commit);
}

void CSqliteStore::Rollback() noexcept
{
    if (InTransaction())
        RunQuietly(m_stmt->rollback);
}

void CSqliteStore::Savepoint()
{
    Run(m_stmt->savepoint);
}

void CSqliteStore::Release()
{
    Run(m_stmt->release);
}

void CSqliteStore::RollbackToSavepoint() noexcept
{
    if (!InTransaction())
        return;
    RunQuietly(m_stmt->rollbackTo);
    RunQuietly(m_stmt->release);
}

bool CSqliteStore::InTransaction() const
{
    return !sqlite3_get_autocommit(m_db.Handle());
}

void CSqliteStore::Migrate()
{
    CSqliteTransaction tx(m_db);
    const auto version = m_db.QueryInt("PRAGMA user_version");
    if (version > kMigrationCount)
        throw CStoreError("database schema version " + std::to_string(version) +
                          " is newer than this server understands (" + std::to_string(kMigrationCount) + ")");
    for (auto step = version; step < kMigrationCount; ++step)
        m_db.Exec(kMigrations[step]);
    if (version != kMigrationCount)
        m_db.Exec(("PRAGMA user_version = " + std::to_string(kMigrationCount)).c_str());
    tx.Commit();
}

bool CSqliteStore::Exists(CSqliteStatement& stmt, const std::string& a, const std::string& b)
{
    CSqliteStatementUse use(stmt);
    use->Bind(1, a);
    use->Bind(2, b);
    return use->Step();
}

std::vector<std::string> CSqliteStore::Column(CSqliteStatement& stmt, const std::string& key)
{
    CSqliteStatementUse use(stmt);
    use->Bind(1, key);
    std::vector<std::string> out;
    while (use->Step())
        out.push_back(use->ColumnBytes(0));
    return out;
}

void CSqliteStore::Pair(CSqliteStatement& stmt, const std::string& a, const std::string& b)
{
    CSqliteStatementUse use(stmt);
    use->Bind(1, a);
    use->Bind(2, b);
    use->Step();
}

bool CSqliteStore::CreateAccount(const std::string& name, const std::string& passwordHash)
{
    CTransaction tx(*this);
    bool created = false;
    {
        CSqliteStatementUse use(m_stmt->createAccount);
        use->Bind(1, name);
        use->Bind(2, passwordHash);
        use->Step();
        created = m_db.Changes() == 1;
    }
    tx.Commit();
    return created;
}

std::vector<std::string> CSqliteStore::AccountNames()
{
    CSqliteStatement stmt(m_db, "SELECT name FROM account");
    std::vector<std::string> out;
    while (stmt.Step())
        out.push_back(stmt.ColumnBytes(0));
    return out;
}

bool CSqliteStore::SetLocked(const std::string& name, bool locked)
{
    CTransaction tx(*this);
    CSqliteStatement stmt(m_db, "UPDATE account SET locked = ?2 WHERE name = ?1");
    stmt.Bind(1, name);
    stmt.Bind(2, int64_t{locked ? 1 : 0});
    stmt.Step();
    const bool found = m_db.Changes() == 1;
    tx.Commit();
    return found;
}

bool CSqliteStore::IsLocked(const std::string& name)
{
    CSqliteStatement stmt(m_db, "SELECT locked FROM account WHERE name = ?1");
    stmt.Bind(1, name);
    return stmt.Step() && stmt.ColumnInt(0) != 0;
}

bool CSqliteStore::DeleteAccount(const std::string& name)
{
    CTransaction tx(*this);
    CSqliteStatement account(m_db, "DELETE FROM account WHERE name = ?1");
    account.Bind(1, name);
    account.Step();
    if (m_db.Changes() != 1)
        return false;
    for (const char* sql : kAccountDeletion) {
        CSqliteStatement stmt(m_db, sql);
        stmt.Bind(1, name);
        stmt.Step();
    }
    tx.Commit();
    return true;
}

bool CSqliteStore::AccountExists(const std::string& name)
{
    return PasswordHash(name).has_value();
}

std::optional<std::string> CSqliteStore::PasswordHash(const std::string& name)
{
    CSqliteStatementUse use(m_stmt->passwordHash);
    use->Bind(1, name);
    if (!use->Step())
        return std::nullopt;
    return use->ColumnBytes(0);
}

void CSqliteStore::SetPasswordHash(const std::string& name, const std::string& passwordHash)
{
    CTransaction tx(*this);
    Pair(m_stmt->setPasswordHash, name, passwordHash);
    tx.Commit();
}

std::vector<std::string> CSqliteStore::Friends(const std::string& owner)
{
    return Column(m_stmt->friends, owner);
}

std::vector<std::string> CSqliteStore::FriendOf(const std::string& name)
{
    return Column(m_stmt->friendOf, name);
}

bool CSqliteStore::IsFriend(const std::string& owner, const std::string& name)
{
    return Exists(m_stmt->isFriend, owner, name);
}

void CSqliteStore::RemoveFriends(const std::string& owner, const std::vector<std::string>& names)
{
    CTransaction tx(*this);
    for (const auto& name : names)
        Pair(m_stmt->removeFriend, owner, name);
    tx.Commit();
}

bool CSqliteStore::AddFriendRequest(const std::string& requester, const std::string& addressee,
                                    const std::string& text)
{
    CTransaction tx(*this);
    bool added = false;
    {
        CSqliteStatementUse use(m_stmt->addRequest);
        use->Bind(1, requester);
        use->Bind(2, addressee);
        use->BindBlob(3, text);
        use->Step();
        added = m_db.Changes() == 1;
    }
    tx.Commit();
    return added;
}

bool CSqliteStore::HasFriendRequest(const std::string& requester, const std::string& addressee)
{
    return Exists(m_stmt->hasRequest, requester, addressee);
}

std::vector<CFriendRequest> CSqliteStore::FriendRequests(const std::string& addressee)
{
    CSqliteStatementUse use(m_stmt->requests);
    use->Bind(1, addressee);
    std::vector<CFriendRequest> out;
    while (use->Step())
        out.push_back({use->ColumnBytes(0), use->ColumnBytes(1)});
    return out;
}

void CSqliteStore::RemoveFriendRequest(const std::string& requester, const std::string& addressee)
{
    CTransaction tx(*this);
    Pair(m_stmt->removeRequest, requester, addressee);
    tx.Commit();
}

bool CSqliteStore::AcceptFriendRequest(const std::string& requester, const std::string& answerer,
                                       bool addAnswererToRequester, bool addRequesterToAnswerer)
{
    CTransaction tx(*this);
    Pair(m_stmt->removeRequest, requester, answerer);
    if (m_db.Changes() != 1)
        return false;
    if (addAnswererToRequester)
        Pair(m_stmt->addFriend, requester, answerer);
    if (addRequesterToAnswerer)
        Pair(m_stmt->addFriend, answerer, requester);
    tx.Commit();
    return true;
}

void CSqliteStore::AddBlock(const std::string& blocker, const std::string& blocked)
{
    CTransaction tx(*this);
    Pair(m_stmt->addBlock, blocker, blocked);
    tx.Commit();
}

void CSqliteStore::RemoveBlock(const std::string& blocker, const std::string& blocked)
{
    CTransaction tx(*this);
    Pair(m_stmt->removeBlock, blocker, blocked);
    tx.Commit();
}

bool CSqliteStore::IsBlocked(const std::string& blocker, const std::string& blocked)
{
    return Exists(m_stmt->isBlocked, blocker, blocked);
}

std::vector<std::string> CSqliteStore::Blocks(const std::string& blocker)
{
    return Column(m_stmt->blocks, blocker);
}

std::vector<std::pair<std::string, std::string>> CSqliteStore::AllBlocks()
{
    CSqliteStatement stmt(m_db, "SELECT blocker, blocked FROM block");
    std::vector<std::pair<std::string, std::string>> out;
    while (stmt.Step())
        out.emplace_back(stmt.ColumnBytes(0), stmt.ColumnBytes(1));
    return out;
}

int64_t CSqliteStore::StoreMessage(const CStoredMessage& m)
{
    JoinPending();
    CSqliteStatementUse use(m_stmt->storeMessage);
    use->Bind(1, m.recipient);
    use->Bind(2, m.sender);
    use->BindBlob(3, m.text);
    use->Bind(4, int64_t{m.time});
    use->BindBlob(5, m.faceName);
    use->BindBlob(6, PackFont(m.font));
    use->Bind(7, int64_t{m.color});
    use->Bind(8, int64_t{m.size});
    use->Bind(9, m.clientId);
    use->Step();
    return m_db.Changes() == 1 ? m_db.LastInsertRowId() : 0;
}

std::vector<CStoredMessage> CSqliteStore::Messages(const std::string& recipient, int64_t fromId,
                                                   std::size_t limit)
{
    CSqliteStatementUse use(m_stmt->messages);
    use->Bind(1, recipient);
    use->Bind(2, fromId);
    use->Bind(3, limit > 0 ? static_cast<int64_t>(limit) : int64_t{-1}); // -1: no limit
    std::vector<CStoredMessage> out;
    while (use->Step()) {
        CStoredMessage& m = out.emplace_back();
        m.id = use->ColumnInt(0);
        m.sender = use->ColumnBytes(1);
        m.recipient = recipient;
        m.text = use->ColumnBytes(2);
        m.time = static_cast<int32_t>(use->ColumnInt(3));
        m.faceName = use->ColumnBytes(4);
        m.font = UnpackFont(use->ColumnBytes(5));
        m.color = static_cast<uint32_t>(use->ColumnInt(6));
        m.size = static_cast<int32_t>(use->ColumnInt(7));
        m.clientId = use->ColumnBytes(8);
    }
    return out;
}

bool CSqliteStore::DeleteMessage(int64_t id, const std::string& recipient)
{
    JoinPending();
    CSqliteStatementUse use(m_stmt->deleteMessage);
    use->Bind(1, id);
    use->Bind(2, recipient);
    use->Step();
    return m_db.Changes() == 1;
}

CMessageUsage CSqliteStore::MessageUsage(const std::string& name, CUsageOf of)
{
    // The columns are blobs: length() reads their sizes, not their bytes.
    CSqliteStatementUse use(of == CUsageOf::All      ? m_stmt->totalUsage
                            : of == CUsageOf::Sender ? m_stmt->senderUsage
                                                     : m_stmt->messageUsage);
    if (of != CUsageOf::All)
        use->Bind(1, name);
    CMessageUsage usage;
    if (use->Step()) {
        usage.count = static_cast<std::size_t>(use->ColumnInt(0));
        usage.bytes = static_cast<std::size_t>(use->ColumnInt(1));
    }
    return usage;
}
