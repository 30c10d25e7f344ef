#pragma once

#include "storecore.h"

#include <chrono>
#include <memory>

class CPgConnection;

// The shared store: one PostgreSQL database that several server nodes may
// use at once. The database settles their races: a name is taken once
// (unique key), a message is deleted once (row lock), and message ids come
// from one identity column. The schema steps under store/pg are applied at
// start in one transaction and tracked in the table schema_version.
//
// No statement waits for ever: connecting, a silent peer and a statement
// are each given `timeout` (see PgConnectionString), Interrupt ends a call at
// once, and a connection that failed is opened again by the next call.
class CPgStore : public CStoreCore
{
public:
    // Connects (a libpq URI such as postgresql://user@host/db) and brings
    // the schema up to date; throws CStoreError when the database cannot be
    // reached or was made by a newer server.
    explicit CPgStore(const std::string& uri, std::chrono::milliseconds timeout = kDefaultStoreTimeout);
    ~CPgStore() override;

    // How many schema steps this server knows.
    static int SchemaVersion();
    // The version the database had before this store upgraded it: 0 for a
    // database that held no Murmurly schema.
    int FoundSchemaVersion() const { return m_foundVersion; }

    void Interrupt() noexcept override;

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
    bool InTransaction() const override;

private:
    void Migrate();
    // Runs `work` in the open transaction, or on its own when none is open;
    // turns libpqxx's errors into CStoreError.
    template <typename Work> auto Run(Work&& work);
    std::vector<std::string> Column(const char* statement, const std::string& key);
    bool Exists(const char* statement, const std::string& a, const std::string& b);
    std::size_t Change(const char* statement, const std::string& a, const std::string& b);

    // libpqxx stays out of this header.
    std::unique_ptr<CPgConnection> m_db;
    int m_foundVersion = 0;
};
