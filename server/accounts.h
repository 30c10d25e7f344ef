#pragma once

#include "cluster.h"
#include "connection.h"
#include "loginguard.h"
#include "passwordhasher.h"
#include "serveroptions.h"

#include <asio/io_context.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

class CAdmission;
class CPresence;
class CRouter;
class CServerStats;
class CStoreRequests;

// Accounts and logins: "R", "L", "C" and "X", the password hashing they
// need, the guard against guessing, and the end of a login the operator
// cuts short. Each request that needs a password hashed or checked holds
// its connection while a worker does the slow part, so its answer goes out
// before anything the client sent after it is served.
class CAccounts
{
public:
    CAccounts(asio::io_context& io, CPasswordHasher::Cost hashCost, const CServerLimits& limits,
              CServerStats& stats, CStoreRequests& store, CConnections& connections, CPresence& presence,
              CRouter& router, CAdmission& admission);
    CAccounts(const CAccounts&) = delete;
    CAccounts& operator=(const CAccounts&) = delete;

    void Register(CConnection& c, CNetMessage& msg);
    void Login(CConnection& c, CNetMessage& msg);
    void ChangePassword(CConnection& c, CNetMessage& msg);
    void Logoff(CConnection& c);

    // The operator changed the account `name`: a login under way fails, and
    // the session of `name` on this node, if any, ends as a logoff that its
    // friends see, with "ZX" to its client.
    void EndSession(const std::string& name, const char* why);

    CPasswordHasher& Hasher() { return m_hasher; }

private:
    struct CRegistration;
    struct CAttempt;

    void Hashed(const CWeakLink& weak, const CRegistration& registration, std::optional<std::string> hash);
    void RegistrationEnded(const CRegistration& registration, bool created);
    // The stored hash of a login was read: the password is checked against
    // it on a worker.
    void Verify(CConnection& c, const CAttempt& attempt, std::string password,
                std::optional<std::string> hash);
    void Checked(const CWeakLink& weak, const CAttempt& attempt, bool ok);
    void Abandoned(const CAttempt& attempt);
    // A login whose password was right (`outcome` set) goes ahead unless a
    // newer login elsewhere superseded it; else it failed. Resumes the
    // session.
    void AnswerLogin(CConnection& c, const std::string& name, std::optional<CLoginOutcome> outcome);
    // `endedElsewhere`: the login ended a session on another node.
    void CompleteLogin(CConnection& c, const std::string& name, bool endedElsewhere);
    // Answers "FL" and logs the failure; `name` is the one the client tried.
    void LoginFailed(CConnection& c, const std::string& name);
    // How often the operator changed the account `name` (its password, a
    // lock, a delete) on any node since this one started.
    uint64_t OperatorChanges(const std::string& name) const;

    const CServerLimits& m_limits;
    CServerStats& m_stats;
    CStoreRequests& m_store;
    CConnections& m_connections;
    CPresence& m_presence;
    CRouter& m_router;
    CAdmission& m_admission;
    CPasswordHasher m_hasher;
    CLoginGuard m_guard;
    // See OperatorChanges; only the few accounts the operator changed.
    std::unordered_map<std::string, uint64_t> m_operatorChanges;
};
