// "R", "L", "C" and "X": the requests that need a password hashed or
// checked, and the end of a login.

#include "accounts.h"

#include "admission.h"
#include "commands.h"
#include "credentialrule.h"
#include "presence.h"
#include "router.h"
#include "serverlog.h"
#include "serverrecords.h"
#include "serverstats.h"
#include "store/store.h"
#include "storerequests.h"

namespace {

const char kInvalidCredentials[] = "Invalid user name or password";

std::string TakenText(const std::string& name)
{
    return "User name " + name + " is already taken";
}

// "SL" for `name`, offering receipts.
CNetMessage LoginAccepted(const std::string& name)
{
    CNetMessage accepted = MakeRecord(Cmd::LoginAccepted, {}, name);
    accepted.names.push_back(kReceiptsFeature);
    return accepted;
}

} // namespace

// A registration under way: the name asked for, and where it came from.
struct CAccounts::CRegistration
{
    std::string name;
    std::string address; // an AddressKey
    bool guarded = false;
};

// A login under way, and what the operator had changed of its account when
// it began.
struct CAccounts::CAttempt
{
    std::string name;
    std::string address; // an AddressKey
    bool guarded = false;
    uint64_t changes = 0;
};

CAccounts::CAccounts(asio::io_context& io, CPasswordHasher::Cost hashCost, const CServerLimits& limits,
                     CServerStats& stats, CStoreRequests& store, CConnections& connections,
                     CPresence& presence, CRouter& router, CAdmission& admission)
    : m_limits(limits), m_stats(stats), m_store(store), m_connections(connections), m_presence(presence),
      m_router(router), m_admission(admission), m_hasher(io, hashCost), m_guard(limits)
{
}

void CAccounts::Register(CConnection& c, CNetMessage& msg)
{
    CClientLink& link = *c.link;
    if (!m_limits.registrationOpen) {
        link.Send(MakeRecord(Cmd::RegistrationRefused, "Registration is closed on this server"));
        return;
    }
    CRegistration registration;
    registration.name = msg.sender;
    if (!IsValidCredential(registration.name) || !IsValidCredential(msg.recipient)) {
        link.Send(MakeRecord(Cmd::Failure, kInvalidCredentials));
        return;
    }
    if (m_presence.Routes().HasAccount(registration.name)) {
        link.Send(MakeRecord(Cmd::Failure, TakenText(registration.name)));
        return;
    }
    const std::string& address = registration.address = AddressKey(PeerAddress(link.Peer()));
    const bool guarded = registration.guarded = m_guard.Applies(address);
    if (guarded && !m_guard.MayRegister(address, CLoginGuard::Clock::now())) {
        ServerLog("registration limit reached for " + address);
        link.Send(MakeRecord(Cmd::RegistrationRefused, kInvalidCredentials));
        return;
    }
    auto hashed = [this, weak = CWeakLink(c.link), registration](std::optional<std::string> hash) {
        Hashed(weak, registration, std::move(hash));
    };
    const bool queued = m_hasher.Hash(address, guarded ? m_limits.maxQueuedHashes : 0,
                                      std::move(msg.recipient), std::move(hashed));
    if (!queued) {
        ServerLog("hashing queue of " + address + " is full; refusing a registration");
        link.Send(MakeRecord(Cmd::RegistrationRefused, kInvalidCredentials));
        return;
    }
    if (guarded)
        m_guard.RegistrationStarted(address);
    link.Hold();
}

void CAccounts::Hashed(const CWeakLink& weak, const CRegistration& registration,
                       std::optional<std::string> hash)
{
    CConnection* c = m_connections.Find(weak);
    if (!c || !hash) {
        if (c) {
            ServerLog("password hashing failed for a registration from " + c->link->Peer());
            c->link->Close();
        }
        RegistrationEnded(registration, false);
        return;
    }
    m_store.Query(
        *c,
        [name = registration.name, hash = std::move(*hash)](CStore& store) {
            return store.CreateAccount(name, hash);
        },
        [this, registration](CConnection& c, bool created) {
            RegistrationEnded(registration, created);
            if (!created) {
                // Another connection registered the name while we hashed.
                c.link->Send(MakeRecord(Cmd::Failure, TakenText(registration.name)));
                return;
            }
            m_presence.AccountCreated(registration.name, true);
            ServerLog("registered " + registration.name + " from " + c.link->Peer());
            c.link->Send(MakeRecord(Cmd::Registered));
        },
        [this, registration](const std::string&) { RegistrationEnded(registration, false); });
    c->link->Resume();
}

void CAccounts::RegistrationEnded(const CRegistration& registration, bool created)
{
    if (registration.guarded)
        m_guard.RegistrationEnded(registration.address, created, CLoginGuard::Clock::now());
}

void CAccounts::Login(CConnection& c, CNetMessage& msg)
{
    CAttempt attempt;
    const std::string& name = attempt.name = msg.sender;
    const std::string& address = attempt.address = AddressKey(PeerAddress(c.link->Peer()));
    const bool guarded = attempt.guarded = m_guard.Applies(address);
    const auto now = CLoginGuard::Clock::now();
    // Locked out: answered at once, and no hashing is spent on it.
    if (guarded && !m_guard.MayLogin(address, name, now)) {
        LoginFailed(c, name);
        return;
    }
    if (!IsValidCredential(name) || !IsValidCredential(msg.recipient)) {
        if (guarded)
            m_guard.LoginRejected(address, name, now);
        LoginFailed(c, name);
        return;
    }
    // The check counts as under way from here, so that parallel guesses get
    // no more tries while the store is read.
    if (guarded)
        m_guard.LoginStarted(address, name);
    // The operator may lock the account or change its password while the
    // hash is read and checked: then the login fails.
    attempt.changes = OperatorChanges(name);
    // A store that cannot be read ends the connection (the client says the
    // connection was lost), never as a wrong password.
    m_store.Query(
        c,
        [name](CStore& store) {
            // A locked account fails as a wrong password does, after as long.
            auto hash = store.PasswordHash(name);
            if (hash && store.IsLocked(name))
                hash.reset();
            return hash;
        },
        [this, attempt, password = std::move(msg.recipient)](CConnection& c,
                                                             std::optional<std::string> hash) mutable {
            Verify(c, attempt, std::move(password), std::move(hash));
        },
        [this, attempt](const std::string&) { Abandoned(attempt); });
}

void CAccounts::Verify(CConnection& c, const CAttempt& attempt, std::string password,
                       std::optional<std::string> hash)
{
    // A name without an account is checked against a dummy hash, so that its
    // answer takes as long as a wrong password's.
    const bool known = hash.has_value();
    auto checked = [this, weak = CWeakLink(c.link), attempt, known](bool ok) {
        Checked(weak, attempt, ok && known);
    };
    const bool queued =
        m_hasher.Verify(attempt.address, attempt.guarded ? m_limits.maxQueuedHashes : 0,
                        known ? std::move(*hash) : m_hasher.DummyHash(), std::move(password), checked);
    if (!queued) {
        Abandoned(attempt);
        LoginFailed(c, attempt.name);
        return;
    }
    c.link->Hold();
}

void CAccounts::Checked(const CWeakLink& weak, const CAttempt& attempt, bool ok)
{
    const std::string& name = attempt.name;
    ok = ok && OperatorChanges(name) == attempt.changes;
    if (attempt.guarded)
        m_guard.LoginChecked(attempt.address, name, ok, CLoginGuard::Clock::now());
    // A connection that went away meanwhile logs nobody in.
    CConnection* c = m_connections.Find(weak);
    if (!c || m_connections.Stopping())
        return;
    CCluster* cluster = m_presence.Cluster();
    if (!ok || !cluster) {
        AnswerLogin(*c, name, ok ? std::optional(CLoginOutcome::Alone) : std::nullopt);
        return;
    }
    // Still held: the other nodes answer first, while the loop serves
    // everyone else.
    cluster->BeginLogin(name, [this, weak, name, changes = attempt.changes](CLoginOutcome outcome) {
        if (CConnection* c = m_connections.Find(weak))
            AnswerLogin(*c, name, OperatorChanges(name) == changes ? std::optional(outcome) : std::nullopt);
    });
}

void CAccounts::Abandoned(const CAttempt& attempt)
{
    if (attempt.guarded)
        m_guard.LoginAbandoned(attempt.address, attempt.name);
}

void CAccounts::AnswerLogin(CConnection& c, const std::string& name, std::optional<CLoginOutcome> outcome)
{
    if (m_connections.Stopping())
        return;
    try {
        if (!outcome) {
            LoginFailed(c, name);
        } else if (*outcome == CLoginOutcome::Superseded) {
            // As if it had gone ahead and the newer one had ended it.
            ServerLog("login " + name + " from " + c.link->Peer() +
                      " ends at once: a newer one on another node wins");
            c.link->Send(LoginAccepted(name));
            c.link->Send(MakeRecord(Cmd::AdminLogoff));
            c.link->CloseAfterFlush();
        } else {
            CompleteLogin(c, name, *outcome == CLoginOutcome::EndedElsewhere);
        }
    } catch (const std::exception& error) {
        ServerLog("error during login from " + c.link->Peer() + ": " + error.what());
        c.link->Close();
    }
    c.link->Resume();
}

void CAccounts::CompleteLogin(CConnection& c, const std::string& name, bool endedElsewhere)
{
    // What the user's client sent before may come again now.
    m_router.NewConnection(name);
    const bool announce = m_presence.Arrive(c, name, endedElsewhere);
    c.link->SetLoggedIn();
    ++m_stats.loginsSucceeded;
    m_admission.LeavePending(*c.link);
    m_presence.AnnounceSessionBlocks(c);
    c.link->Send(LoginAccepted(name));
    m_presence.TellFriends(c, announce);
}

void CAccounts::LoginFailed(CConnection& c, const std::string& name)
{
    // The name goes into the log as sent only when it could be a name at
    // all; anything else could forge lines.
    ServerLog("login failed for " + (IsValidCredential(name) ? name : std::string("(invalid name)")) +
              " from " + PeerAddress(c.link->Peer()));
    ++m_stats.loginsFailed;
    c.link->Send(MakeRecord(Cmd::LoginFailed, "Invalid user name or password"));
    if (++c.login.failedLogins >= 10) {
        ServerLog("ten failed logins from " + c.link->Peer() + "; closing");
        c.link->CloseAfterFlush();
    }
}

void CAccounts::ChangePassword(CConnection& c, CNetMessage& msg)
{
    // "C": recipient = the new password, text = the old one.
    if (!IsValidCredential(msg.recipient)) {
        c.link->Send(MakeRecord(Cmd::Failure, kInvalidCredentials));
        return;
    }
    const std::string user = c.login.user;
    m_store.Query(
        c, [user](CStore& store) { return store.PasswordHash(user); },
        [this, user, oldPassword = std::move(msg.text),
         newPassword = std::move(msg.recipient)](CConnection& c, std::optional<std::string> hash) mutable {
            if (!hash) {
                c.link->Send(MakeRecord(Cmd::Failure, "Old password is incorrect"));
                return;
            }
            auto rehashed = [this, weak = CWeakLink(c.link), user](std::optional<std::string> newHash) {
                CConnection* c = m_connections.Find(weak);
                if (!c)
                    return;
                if (!newHash)
                    c->link->Send(MakeRecord(Cmd::Failure, "Old password is incorrect"));
                else
                    m_store.Query(
                        *c,
                        [user, hash = std::move(*newHash)](CStore& store) {
                            store.SetPasswordHash(user, hash);
                            return true;
                        },
                        [user](CConnection& c, bool) {
                            ServerLog("password changed for " + user);
                            c.link->Send(MakeRecord(Cmd::PasswordChanged));
                        });
                c->link->Resume();
            };
            const std::string address = AddressKey(PeerAddress(c.link->Peer()));
            const std::size_t bound = m_guard.Applies(address) ? m_limits.maxQueuedHashes : 0;
            const bool queued = m_hasher.Rehash(address, bound, std::move(*hash), std::move(oldPassword),
                                                std::move(newPassword), rehashed);
            if (!queued) {
                c.link->Send(MakeRecord(Cmd::Failure, "Old password is incorrect"));
                return;
            }
            c.link->Hold();
        });
}

void CAccounts::Logoff(CConnection& c)
{
    m_presence.LogOff(c, "X");
    c.link->CloseAfterFlush();
}

uint64_t CAccounts::OperatorChanges(const std::string& name) const
{
    const auto it = m_operatorChanges.find(name);
    return it == m_operatorChanges.end() ? 0 : it->second;
}

void CAccounts::EndSession(const std::string& name, const char* why)
{
    // A login under way began before the change: it must not go ahead.
    ++m_operatorChanges[name];
    CConnection* c = m_presence.OnlineSession(name);
    if (!c)
        return;
    const std::shared_ptr<CClientLink> link = c->link;
    m_presence.LogOff(*c, why);
    link->Send(MakeRecord(Cmd::AdminLogoff));
    link->CloseAfterFlush();
}
