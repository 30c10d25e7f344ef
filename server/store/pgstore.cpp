#include "pgstore.h"

#include "fontblob.h"
#include "generated/pgmigrations.h"
#include "pgconnection.h"

#include <iterator>
#include <optional>

namespace {

constexpr int kPgMigrationCount = static_cast<int>(std::size(kPgMigrations));

// Held while the schema is checked and upgraded, so that nodes starting at
// the same time upgrade it once.
constexpr long long kMigrationLock = 0x6d75726d6c79; // "murmly"

pqxx::binarystring Bytes(const std::string& bytes)
{
    return pqxx::binarystring(bytes.data(), bytes.size());
}

std::string Bytes(const pqxx::field& field)
{
    return pqxx::binarystring(field).str();
}

// Each connection knows the statements by name; libpqxx prepares one when
// it is first used.
void Prepare(pqxx::connection& c)
{
    c.prepare("create_account",
              "INSERT INTO account (name, password_hash) VALUES ($1, $2) ON CONFLICT DO NOTHING");
    c.prepare("password_hash", "SELECT password_hash FROM account WHERE name = $1");
    c.prepare("set_password_hash", "UPDATE account SET password_hash = $2 WHERE name = $1");
    c.prepare("account_names", "SELECT name FROM account");
    c.prepare("set_locked", "UPDATE account SET locked = $2 WHERE name = $1");
    c.prepare("is_locked", "SELECT 1 FROM account WHERE name = $1 AND locked");
    c.prepare("delete_account", "DELETE FROM account WHERE name = $1");
    c.prepare("delete_friends_of_account", "DELETE FROM friend WHERE owner = $1 OR name = $1");
    c.prepare("delete_requests_of_account",
              "DELETE FROM friend_request WHERE requester = $1 OR addressee = $1");
    c.prepare("delete_blocks_of_account", "DELETE FROM block WHERE blocker = $1 OR blocked = $1");
    c.prepare("delete_messages_of_account", "DELETE FROM offline_message WHERE recipient = $1");
    c.prepare("friends", "SELECT name FROM friend WHERE owner = $1 ORDER BY id");
    c.prepare("friend_of", "SELECT owner FROM friend WHERE name = $1 ORDER BY id");
    c.prepare("is_friend", "SELECT 1 FROM friend WHERE owner = $1 AND name = $2");
    c.prepare("add_friend", "INSERT INTO friend (owner, name) VALUES ($1, $2) ON CONFLICT DO NOTHING");
    c.prepare("remove_friend", "DELETE FROM friend WHERE owner = $1 AND name = $2");
    c.prepare("add_request", "INSERT INTO friend_request (requester, addressee, text) VALUES ($1, $2, $3) "
                             "ON CONFLICT DO NOTHING");
    c.prepare("has_request", "SELECT 1 FROM friend_request WHERE requester = $1 AND addressee = $2");
    c.prepare("requests", "SELECT requester, text FROM friend_request WHERE addressee = $1 ORDER BY id");
    c.prepare("remove_request", "DELETE FROM friend_request WHERE requester = $1 AND addressee = $2");
    c.prepare("add_block", "INSERT INTO block (blocker, blocked) VALUES ($1, $2) ON CONFLICT DO NOTHING");
    c.prepare("remove_block", "DELETE FROM block WHERE blocker = $1 AND blocked = $2");
    c.prepare("is_blocked", "SELECT 1 FROM block WHERE blocker = $1 AND blocked = $2");
    c.prepare("blocks", "SELECT blocked FROM block WHERE blocker = $1 ORDER BY id");
    c.prepare("all_blocks", "SELECT blocker, blocked FROM block");
    c.prepare("store_message",
              "INSERT INTO offline_message (recipient, sender, text, time, face_name, font, color, size, "
              "client_id) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, NULLIF($9, '')) "
              "ON CONFLICT DO NOTHING RETURNING id");
    c.prepare("messages", "SELECT id, sender, text, time, face_name, font, color, size, "
                          "coalesce(client_id, '') FROM offline_message WHERE recipient = $1 AND id >= $2 "
                          "ORDER BY id LIMIT $3");
    c.prepare("delete_message", "DELETE FROM offline_message WHERE id = $1 AND recipient = $2");
    c.prepare("message_usage", "SELECT count(*), coalesce(sum(length(text) + length(face_name)), 0) "
                               "FROM offline_message WHERE recipient = $1");
    c.prepare("sender_usage", "SELECT count(*), coalesce(sum(length(text) + length(face_name)), 0) "
                              "FROM offline_message WHERE sender = $1");
    c.prepare("total_usage", "SELECT count(*), coalesce(sum(length(text) + length(face_name)), 0) "
                             "FROM offline_message");
}

} // namespace

template <typename Work> auto CPgStore::Run(Work&& work)
{
    try {
        return m_db->Run(std::forward<Work>(work));
    } catch (const CStoreError& error) {
        StatementFailed(error.what());
        throw;
    }
}

CPgStore::CPgStore(const std::string& uri, std::chrono::milliseconds timeout)
{
    m_db = std::make_unique<CPgConnection>(uri, timeout, &Prepare);
    try {
        Migrate();
    } catch (const CStoreError&) {
        throw;
    } catch (const std::exception& error) {
        throw CStoreError(OneLine(error.what()));
    }
}

CPgStore::~CPgStore()
{
    // A clean close keeps what is pending.
    try {
        CommitPending();
    } catch (const CStoreError&) {
    }
}

void CPgStore::Interrupt() noexcept
{
    m_db->Interrupt();
}

int CPgStore::SchemaVersion()
{
    return kPgMigrationCount;
}

void CPgStore::Migrate()
{
    pqxx::work tx(m_db->Open());
    tx.exec_params("SELECT pg_advisory_xact_lock($1)", kMigrationLock);
    tx.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const pqxx::result found = tx.exec("SELECT version FROM schema_version");
    if (found.size() > 1)
        throw CStoreError("the table schema_version holds more than one row");
    m_foundVersion = found.empty() ? 0 : found[0][0].as<int>();
    if (m_foundVersion > kPgMigrationCount)
        throw CStoreError("database schema version " + std::to_string(m_foundVersion) +
                          " is newer than this server understands (" + std::to_string(kPgMigrationCount) + ")");
    if (m_foundVersion == kPgMigrationCount)
        return;
    for (int step = m_foundVersion; step < kPgMigrationCount; ++step)
        tx.exec(kPgMigrations[step]);
    if (found.empty())
        tx.exec_params("INSERT INTO schema_version (version) VALUES ($1)", kPgMigrationCount);
    else
        tx.exec_params("UPDATE schema_version SET version = $1", kPgMigrationCount);
    tx.commit();
}

void CPgStore::Begin()
{
    m_db->Begin();
}

void CPgStore::Commit()
{
    m_db->Commit();
}

void CPgStore::Rollback() noexcept
{
    m_db->Rollback();
}

void CPgStore::Savepoint()
{
    m_db->Exec("SAVEPOINT scope");
}

void CPgStore::Release()
{
    m_db->Exec("RELEASE SAVEPOINT scope");
}

void CPgStore::RollbackToSavepoint() noexcept
{
    m_db->RollbackToSavepoint();
}

bool CPgStore::InTransaction() const
{
    return m_db->InTransaction();
}

std::vector<std::string> CPgStore::Column(const char* statement, const std::string& key)
{
    return Run([&](pqxx::transaction_base& tx) {
        std::vector<std::string> out;
        for (const auto& row : tx.exec_prepared(statement, key))
            out.push_back(row[0].as<std::string>());
        return out;
    });
}

bool CPgStore::Exists(const char* statement, const std::string& a, const std::string& b)
{
    return Run([&](pqxx::transaction_base& tx) { return !tx.exec_prepared(statement, a, b).empty(); });
}

std::size_t CPgStore::Change(const char* statement, const std::string& a, const std::string& b)
{
    return Run([&](pqxx::transaction_base& tx) { return tx.exec_prepared(statement, a, b).affected_rows(); });
}

bool CPgStore::CreateAccount(const std::string& name, const std::string& passwordHash)
{
    // Another node may insert the same name at the same moment: the unique
    // key makes this insert wait for that one's outcome and then do nothing.
    CTransaction tx(*this);
    const bool created = Change("create_account", name, passwordHash) == 1;
    tx.Commit();
    return created;
}

bool CPgStore::AccountExists(const std::string& name)
{
    return PasswordHash(name).has_value();
}

std::optional<std::string> CPgStore::PasswordHash(const std::string& name)
{
    return Run([&](pqxx::transaction_base& tx) -> std::optional<std::string> {
        const pqxx::result r = tx.exec_prepared("password_hash", name);
        if (r.empty())
            return std::nullopt;
        return r[0][0].as<std::string>();
    });
}

void CPgStore::SetPasswordHash(const std::string& name, const std::string& passwordHash)
{
    CTransaction tx(*this);
    Change("set_password_hash", name, passwordHash);
    tx.Commit();
}

std::vector<std::string> CPgStore::AccountNames()
{
    return Run([&](pqxx::transaction_base& tx) {
        std::vector<std::string> out;
        for (const auto& row : tx.exec_prepared("account_names"))
            out.push_back(row[0].as<std::string>());
        return out;
    });
}

bool CPgStore::SetLocked(const std::string& name, bool locked)
{
    CTransaction tx(*this);
    const bool found = Run([&](pqxx::transaction_base& t) {
        return t.exec_prepared("set_locked", name, locked).affected_rows() == 1;
    });
    tx.Commit();
    return found;
}

bool CPgStore::IsLocked(const std::string& name)
{
    return Run([&](pqxx::transaction_base& tx) { return !tx.exec_prepared("is_locked", name).empty(); });
}

bool CPgStore::DeleteAccount(const std::string& name)
{
    CTransaction tx(*this);
    const bool found = Run([&](pqxx::transaction_base& t) {
        if (t.exec_prepared("delete_account", name).affected_rows() != 1)
            return false;
        for (const char* statement : {"delete_friends_of_account", "delete_requests_of_account",
                                      "delete_blocks_of_account", "delete_messages_of_account"})
            t.exec_prepared(statement, name);
        return true;
    });
    if (found)
        tx.Commit();
    return found;
}

std::vector<std::string> CPgStore::Friends(const std::string& owner)
{
    return Column("friends", owner);
}

std::vector<std::string> CPgStore::FriendOf(const std::string& name)
{
    return Column("friend_of", name);
}

bool CPgStore::IsFriend(const std::string& owner, const std::string& name)
{
    return Exists("is_friend", owner, name);
}

void CPgStore::RemoveFriends(const std::string& owner, const std::vector<std::string>& names)
{
    CTransaction tx(*this);
    for (const auto& name : names)
        Change("remove_friend", owner, name);
    tx.Commit();
}

bool CPgStore::AddFriendRequest(const std::string& requester, const std::string& addressee,
                                const std::string& text)
{
    CTransaction tx(*this);
    const bool added = Run([&](pqxx::transaction_base& t) {
        return t.exec_prepared("add_request", requester, addressee, Bytes(text)).affected_rows() == 1;
    });
    tx.Commit();
    return added;
}

bool CPgStore::HasFriendRequest(const std::string& requester, const std::string& addressee)
{
    return Exists("has_request", requester, addressee);
}

std::vector<CFriendRequest> CPgStore::FriendRequests(const std::string& addressee)
{
    return Run([&](pqxx::transaction_base& tx) {
        std::vector<CFriendRequest> out;
        for (const auto& row : tx.exec_prepared("requests", addressee))
            out.push_back({row[0].as<std::string>(), Bytes(row[1])});
        return out;
    });
}

void CPgStore::RemoveFriendRequest(const std::string& requester, const std::string& addressee)
{
    CTransaction tx(*this);
    Change("remove_request", requester, addressee);
    tx.Commit();
}

bool CPgStore::AcceptFriendRequest(const std::string& requester, const std::string& answerer,
                                   bool addAnswererToRequester, bool addRequesterToAnswerer)
{
    // The delete locks the request: of two nodes accepting it at once, one
    // finds it gone.
    CTransaction tx(*this);
    if (Change("remove_request", requester, answerer) != 1)
        return false;
    if (addAnswererToRequester)
        Change("add_friend", requester, answerer);
    if (addRequesterToAnswerer)
        Change("add_friend", answerer, requester);
    tx.Commit();
    return true;
}

void CPgStore::AddBlock(const std::string& blocker, const std::string& blocked)
{
    CTransaction tx(*this);
    Change("add_block", blocker, blocked);
    tx.Commit();
}

void CPgStore::RemoveBlock(const std::string& blocker, const std::string& blocked)
{
    CTransaction tx(*this);
    Change("remove_block", blocker, blocked);
    tx.Commit();
}

bool CPgStore::IsBlocked(const std::string& blocker, const std::string& blocked)
{
    return Exists("is_blocked", blocker, blocked);
}

std::vector<std::string> CPgStore::Blocks(const std::string& blocker)
{
    return Column("blocks", blocker);
}

std::vector<std::pair<std::string, std::string>> CPgStore::AllBlocks()
{
    return Run([&](pqxx::transaction_base& tx) {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& row : tx.exec_prepared("all_blocks"))
            out.emplace_back(row[0].as<std::string>(), row[1].as<std::string>());
        return out;
    });
}

int64_t CPgStore::StoreMessage(const CStoredMessage& m)
{
    JoinPending();
    return Run([&](pqxx::transaction_base& tx) {
        const pqxx::result r =
            tx.exec_prepared("store_message", m.recipient, m.sender, Bytes(m.text), m.time, Bytes(m.faceName),
                             Bytes(PackFont(m.font)), int64_t{m.color}, m.size, m.clientId);
        return r.empty() ? int64_t{0} : r[0][0].as<int64_t>();
    });
}

std::vector<CStoredMessage> CPgStore::Messages(const std::string& recipient, int64_t fromId,
                                               std::size_t limit)
{
    // No limit is LIMIT NULL, which is LIMIT ALL.
    const std::optional<int64_t> rows =
        limit > 0 ? std::optional<int64_t>(static_cast<int64_t>(limit)) : std::nullopt;
    return Run([&](pqxx::transaction_base& tx) {
        std::vector<CStoredMessage> out;
        for (const auto& row : tx.exec_prepared("messages", recipient, fromId, rows)) {
            CStoredMessage& m = out.emplace_back();
            m.id = row[0].as<int64_t>();
            m.sender = row[1].as<std::string>();
            m.recipient = recipient;
            m.text = Bytes(row[2]);
            m.time = row[3].as<int32_t>();
            m.faceName = Bytes(row[4]);
            m.font = UnpackFont(Bytes(row[5]));
            m.color = static_cast<uint32_t>(row[6].as<int64_t>());
            m.size = row[7].as<int32_t>();
            m.clientId = row[8].as<std::string>();
        }
        return out;
    });
}

bool CPgStore::DeleteMessage(int64_t id, const std::string& recipient)
{
    // Two nodes deleting the same message: the second waits for the first
    // one's row lock, then finds nothing to delete.
    JoinPending();
    return Run([&](pqxx::transaction_base& tx) {
        return tx.exec_prepared("delete_message", id, recipient).affected_rows() == 1;
    });
}

CMessageUsage CPgStore::MessageUsage(const std::string& name, CUsageOf of)
{
    return Run([&](pqxx::transaction_base& tx) {
        const pqxx::row r = of == CUsageOf::All      ? tx.exec_prepared1("total_usage")
                            : of == CUsageOf::Sender ? tx.exec_prepared1("sender_usage", name)
                                                     : tx.exec_prepared1("message_usage", name);
        CMessageUsage usage;
        usage.count = r[0].as<std::size_t>();
        usage.bytes = r[1].as<std::size_t>();
        return usage;
    });
}
