#pragma once

#include "store.h"

#include <memory>
#include <vector>

// The shared store: one PostgreSQL database that several server nodes may
// use at once. The database settles their races: a name is taken once
// (unique key), a message is deleted once (row lock), and message ids come
// from one identity column. The schema steps under store/pg are applied at
// start in one transaction and tracked in the table schema_version.
class CPgStore : public CStore
{
public:
    // Connects (a libpq URI such as postgresql://user@host/db) and brings
    // the schema up to date; throws CStoreError when the database cannot be
    // reached or was made by a newer server.
    explicit CPgStore(const std::string& uri);
    ~CPgStore() override;

    // How many schema steps this server knows.
    static int SchemaVersion();
    // The version the database had before this store upgraded it: 0 for a
    // database that held no Murmurly schema.
    int FoundSchemaVersion() const { return m_foundVersion; }

    // Also true once a pending group was lost to a failed statement, until
    // CommitPending reports the loss.
    bool HasPending() const override { return m_pending || !m_lost.empty(); }
    void CommitPending() override;

    bool CreateAccount(const std::string& name, const std::string& passwordHash) override;
    bool AccountExists(const std::string& name) override;
    std::optional<std::string> PasswordHash(const std::string& name) override;
    void SetPasswordHash(const std::string& name, const std::string& passwordHash) override;
    std::vector<std::string> AccountNames() override;

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
    std::vector<CStoredMessage> Messages(const std::string& recipient, int64_t fromId = 0) override;
    bool DeleteMessage(int64_t id, const std::string& recipient) override;
    CMessageUsage MessageUsage(const std::string& recipient) override;

protected:
    void BeginTransaction() override;
    void CommitTransaction() override;
    void RollbackTransaction() noexcept override;

private:
    void Migrate();
    void Prepare();
    // Runs `work` in the open transaction, or on a transaction of its own
    // when none is open; turns libpqxx's errors into CStoreError.
    template <typename Work> auto Run(Work&& work);
    // Opens the transaction that the pending group and the outermost scope
    // share, unless one is open already.
    void OpenOuter();
    // Undoes and ends the innermost savepoint.
    void UndoSavepoint() noexcept;
    // Drops every open transaction; the pending group is lost. Errors are
    // swallowed: this runs while another error is on its way.
    void AbortAll() noexcept;
    // AbortAll after a failed statement; a pending group that goes with it
    // is remembered as lost, for CommitPending to report.
    void LoseAll(const std::string& reason) noexcept;
    std::vector<std::string> Column(const char* statement, const std::string& key);
    bool Exists(const char* statement, const std::string& a, const std::string& b);
    std::size_t Change(const char* statement, const std::string& a, const std::string& b);

    // The connection and the open transactions (libpqxx stays out of this
    // header).
    struct CDb;
    std::unique_ptr<CDb> m_db;
    bool m_pending = false; // group changes made outside scopes, not committed
    std::string m_lost;     // why the pending group was lost, until reported
    int m_foundVersion = 0;
};
