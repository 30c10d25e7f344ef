#include "storecore.h"

namespace {

// For a transaction that was gone when the core next looked (the database
// rolled it back on an error that the caller has already seen).
const char* const kEnded = "the database ended the transaction after an error";

} // namespace

void CStoreCore::LoseAll(const std::string& reason) noexcept
{
    if (m_pending && m_lost.empty())
        m_lost = reason;
    m_pending = false;
    Rollback();
}

void CStoreCore::SettleGroup(const std::string& reason) noexcept
{
    if (m_pending && InTransaction())
        return;
    LoseAll(reason);
}

void CStoreCore::StatementFailed(const std::string& reason) noexcept
{
    if (!InScope())
        SettleGroup(reason);
}

void CStoreCore::JoinPending()
{
    if (InScope())
        return;
    if (m_pending)
        SettleGroup(kEnded);
    if (!InTransaction()) {
        Rollback(); // whatever is left of a transaction the database ended
        Begin();
    }
    m_pending = true;
}

void CStoreCore::CommitPending()
{
    if (InScope())
        return; // an open scope's commit will take the group along
    if (m_pending)
        SettleGroup(kEnded);
    if (!m_lost.empty()) {
        // Whatever joined the group since it was lost goes with it: the
        // server drops the whole group's writers.
        const std::string reason = std::move(m_lost);
        m_lost.clear();
        LoseAll(reason);
        throw CStoreError("the pending changes were lost: " + reason);
    }
    if (!m_pending)
        return;
    try {
        Commit();
    } catch (const CStoreError&) {
        m_pending = false; // the error reports the loss
        Rollback();
        throw;
    }
    m_pending = false;
}

void CStoreCore::BeginTransaction()
{
    if (!InScope()) {
        if (m_pending)
            SettleGroup(kEnded);
        if (!InTransaction()) {
            Rollback();
            Begin();
            m_scopes.push_back(false);
            return;
        }
    }
    try {
        Savepoint();
    } catch (const CStoreError& error) {
        if (!InScope())
            SettleGroup(error.what());
        throw;
    }
    m_scopes.push_back(true);
}

void CStoreCore::CommitTransaction()
{
    // When this throws, the scope stays open, and the CTransaction that ends
    // it undoes it with RollbackTransaction.
    if (m_scopes.back()) {
        Release();
        // Its changes are the enclosing transaction's now: they stand or
        // fall with it.
        m_scopes.back() = false;
    }
    if (m_scopes.size() == 1) {
        try {
            Commit();
        } catch (const CStoreError& error) {
            LoseAll(error.what());
            throw;
        }
        m_pending = false;
    }
    m_scopes.pop_back();
}

void CStoreCore::RollbackTransaction() noexcept
{
    const bool savepoint = m_scopes.back();
    m_scopes.pop_back();
    if (savepoint)
        RollbackToSavepoint();
    if (InScope())
        return;
    if (savepoint)
        SettleGroup(kEnded); // the group stays when its transaction did
    else
        LoseAll(kEnded); // the scope owned the whole transaction
}
