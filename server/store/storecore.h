#pragma once

#include "store.h"

#include <string>
#include <vector>

// What every database store shares: transaction scopes that nest, and the
// pending group (see CStore), kept on one database transaction at a time.
// A store for a database provides the primitives below and its data calls;
// StoreMessage and DeleteMessage call JoinPending before their statement.
//
// The database transaction holds the pending group and the scopes together:
// the outermost scope begins it when nothing is pending, and otherwise sets a
// savepoint on it, so that undoing the scope keeps the group; inner scopes
// always set one. When the database ends the transaction by itself (a lost
// connection, an interrupted write), the pending group is lost: HasPending
// stays true until CommitPending reports the loss.
class CStoreCore : public CStore
{
public:
    bool HasPending() const override { return m_pending || !m_lost.empty(); }
    void CommitPending() override;

protected:
    // The database's primitives. Those that may fail throw CStoreError.
    virtual void Begin() = 0;
    // Whether or not it throws, the transaction may be left open: the core
    // rolls it back after a failure.
    virtual void Commit() = 0;
    // Ends the open transaction, if any, undoing it. Errors are swallowed:
    // this runs while another error is on its way.
    virtual void Rollback() noexcept = 0;
    // Savepoints nest and share one name: Release and RollbackToSavepoint act
    // on the innermost. RollbackToSavepoint undoes and releases it.
    virtual void Savepoint() = 0;
    virtual void Release() = 0;
    virtual void RollbackToSavepoint() noexcept = 0;
    // True while a transaction is open and can still be committed.
    virtual bool InTransaction() const = 0;

    // Before a change that joins the pending group when no scope is open:
    // opens the transaction that holds the group, unless it is open already.
    void JoinPending();
    // A statement failed with `reason`. Outside scopes the pending group goes
    // when its transaction went with the statement (inside, the scope's own
    // rollback decides).
    void StatementFailed(const std::string& reason) noexcept;
    bool InScope() const { return !m_scopes.empty(); }

    void BeginTransaction() final;
    void CommitTransaction() final;
    void RollbackTransaction() noexcept final;

private:
    // Called where no scope is open: when the pending group's transaction is
    // gone, remembers the group as lost and ends whatever is left of it.
    void SettleGroup(const std::string& reason) noexcept;
    // Ends the transaction; a pending group goes with it, remembered as lost.
    void LoseAll(const std::string& reason) noexcept;

    // One entry per open scope, innermost last: whether it set a savepoint.
    std::vector<bool> m_scopes;
    bool m_pending = false; // group changes made outside scopes, not committed
    std::string m_lost;     // why the pending group was lost, until reported
};
