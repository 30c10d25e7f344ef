#pragma once

#include "sqlitedb.h"
#include "storecore.h"

#include <memory>

// The embedded store: one SQLite file in WAL mode. The schema is created and
// upgraded by the store itself, tracked in PRAGMA user_version.
class CSqliteStore : public CStoreCore
{
public:
    // Opens or creates the database; throws CStoreError when the file cannot
    // be used (not writable, not a database, made by a newer server).
    explicit CSqliteStore(const std::string& path);
    ~CSqliteStore() override;

    static constexpr int kSchemaVersion = 3;

    void Interrupt() noexcept override { m_db.Interrupt(); }

    bool CreateAccount(const std::string& name, const std::string& passwordHash) override;
    bool AccountExists(const std::string& name) override;
    std::optional<std::string> PasswordHash(const std::string& name) override;
    void SetPasswordHash(const std::string& name, const std::string& passwordHash) override;
    std::vector<std::string> AccountNames() override;
    bool SetLocked(const std::string& name, bool locked) override;
    bool IsLocked(const std::string& name) override;
    bool DeleteAccount(const std::string& name) override;

    std::vector<std::string> Friends(const std::string& owner) override;
    std::vector<std::string> FriendOf(const std::string& name) override;
    bool IsFriend(const std::string& owner, const std::string& name) override;
    void RemoveFriends(const std::string& owner, const std::vector<std::string>& names) override;

    bool AddFriendRequest(const std::string& requester, const std::string& addressee,
                          const std::string& text) override;
    bool HasFriendRequest(const std::string& requester, const std::string& addressee) override;
    std::vector<CFriendRequest> FriendRequests(const std::string& addressee) override;
    void RemoveFriendRequest(const std::string& requester, const std::string& addressee) override;
    bool AcceptFriendRequest(const std::string& requester, const std::string& answerer,
                             bool addAnswererToRequester, bool addRequesterToAnswerer) override;

    void AddBlock(const std::string& blocker, const std::string& blocked) override;
    void RemoveBlock(const std::string& blocker, const std::string& blocked) override;
    bool IsBlocked(const std::string& blocker, const std::string& blocked) override;
    std::vector<std::string> Blocks(const std::string& blocker) override;
    std::vector<std::pair<std::string, std::string>> AllBlocks() override;

    int64_t StoreMessage(const CStoredMessage& message) override;
    std::vector<CStoredMessage> Messages(const std::string& recipient, int64_t fromId = 0,
                                         std::size_t limit = 0) override;
    bool DeleteMessage(int64_t id, const std::string& recipient) override;
    CMessageUsage MessageUsage(const std::string& name, CUsageOf of = CUsageOf::Recipient) override;

protected:
    void Begin() override;
    void Commit() override;
    void Rollback() noexcept override;
    void Savepoint() override;
    void Release() override;
    void RollbackToSavepoint() noexcept override;
    // SQLite ends a transaction by itself after some errors (an interrupted
    // write, a full disk).
    bool InTransaction() const override;

private:
    struct CStatements;

    void Migrate();
    bool Exists(CSqliteStatement& stmt, const std::string& a, const std::string& b);
    std::vector<std::string> Column(CSqliteStatement& stmt, const std::string& key);
    void Pair(CSqliteStatement& stmt, const std::string& a, const std::string& b);

    CSqliteDb m_db;
    std::unique_ptr<CStatements> m_stmt;
};
