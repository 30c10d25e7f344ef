// "R", "L" and "C": the requests that need a password hashed or checked.
// Each holds its session while a worker does the slow part, so the answer
// goes out before anything the client sent after the request is served.

#include "commands.h"
#include "credentialrule.h"
#include "server.h"
#include "serverlog.h"
#include "store/store.h"

namespace {

const char kInvalidCredentials[] = "Invalid user name or password";

} // namespace

void CServer::HandleRegister(CConnection& c, CNetMessage& msg)
{
    CClientLink& session = *c.link;
    if (!m_limits.registrationOpen) {
        session.Send(MakeRecord(Cmd::RegistrationRefused, "Registration is closed on this server"));
        return;
    }
    const std::string name = msg.sender;
    if (!IsValidCredential(name) || !IsValidCredential(msg.recipient)) {
        session.Send(MakeRecord(Cmd::Failure, kInvalidCredentials));
        return;
    }
    const std::string taken = "User name " + name + " is already taken";
    if (m_presence.Routes().HasAccount(name)) {
        session.Send(MakeRecord(Cmd::Failure, taken));
        return;
    }
    const std::string address = AddressKey(PeerAddress(session.Peer()));
    const bool guarded = m_guard.Applies(address);
    if (guarded && !m_guard.MayRegister(address, CLoginGuard::Clock::now())) {
        ServerLog("registration limit reached for " + address);
        session.Send(MakeRecord(Cmd::RegistrationRefused, kInvalidCredentials));
        return;
    }
    const auto ended = [this, address, guarded](bool created) {
        if (guarded)
            m_guard.RegistrationEnded(address, created, CLoginGuard::Clock::now());
    };
    auto hashed = [this, weak = CWeakLink(c.link), name, taken, ended](std::optional<std::string> hash) {
        CConnection* c = Find(weak);
        if (!c || !hash) {
            if (c) {
                ServerLog("password hashing failed for a registration from " + c->link->Peer());
                c->link->Close();
            }
            ended(false);
            return;
        }
        m_store.Query(
            *c, [name, hash = std::move(*hash)](CStore& store) { return store.CreateAccount(name, hash); },
            [this, name, taken, ended](CConnection& c, bool created) {
                ended(created);
                if (!created) {
                    // Another connection registered the name while we hashed.
                    c.link->Send(MakeRecord(Cmd::Failure, taken));
                    return;
                }
                m_presence.AccountCreated(name, true);
                ServerLog("registered " + name + " from " + c.link->Peer());
                c.link->Send(MakeRecord(Cmd::Registered));
            },
            [ended](const std::string&) { ended(false); });
        c->link->Resume();
    };
    const bool queued = m_hasher.Hash(address, guarded ? m_limits.maxQueuedHashes : 0,
                                      std::move(msg.recipient), std::move(hashed));
    if (!queued) {
        ServerLog("hashing queue of " + address + " is full; refusing a registration");
        session.Send(MakeRecord(Cmd::RegistrationRefused, kInvalidCredentials));
        return;
    }
    if (guarded)
        m_guard.RegistrationStarted(address);
    session.Hold();
}

void CServer::HandleLogin(CConnection& c, CNetMessage& msg)
{
    const std::string name = msg.sender;
    const std::string address = AddressKey(PeerAddress(c.link->Peer()));
    const bool guarded = m_guard.Applies(address);
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
    const auto abandoned = [this, address, name, guarded] {
        if (guarded)
            m_guard.LoginAbandoned(address, name);
    };
    // The operator may lock the account or change its password while the
    // hash is read and checked: then the login fails.
    const uint64_t changes = OperatorChanges(name);
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
        [this, name, address, guarded, abandoned, changes,
         password = std::move(msg.recipient)](CConnection& c, std::optional<std::string> hash) mutable {
            // A name without an account is checked against a dummy hash, so
            // that its answer takes as long as a wrong password's.
            const bool known = hash.has_value();
            auto checked = [this, weak = CWeakLink(c.link), name, address, guarded, known, changes](bool ok) {
                ok = ok && known && OperatorChanges(name) == changes;
                if (guarded)
                    m_guard.LoginChecked(address, name, ok, CLoginGuard::Clock::now());
                // A connection that went away meanwhile logs nobody in.
                CConnection* c = Find(weak);
                if (!c || m_stopping)
                    return;
                if (!ok || !m_presence.Cluster()) {
                    AnswerLogin(*c, name, ok ? std::optional(CLoginOutcome::Alone) : std::nullopt);
                    return;
                }
                // Still held: the other nodes answer first, while the loop
                // serves everyone else.
                m_presence.Cluster()->BeginLogin(name, [this, weak, name, changes](CLoginOutcome outcome) {
                    if (CConnection* c = Find(weak))
                        AnswerLogin(*c, name,
                                    OperatorChanges(name) == changes ? std::optional(outcome) : std::nullopt);
                });
            };
            const bool queued =
                m_hasher.Verify(address, guarded ? m_limits.maxQueuedHashes : 0,
                                known ? std::move(*hash) : m_hasher.DummyHash(), std::move(password), checked);
            if (!queued) {
                abandoned();
                LoginFailed(c, name);
                return;
            }
            c.link->Hold();
        },
        [abandoned](const std::string&) { abandoned(); });
}

void CServer::AnswerLogin(CConnection& c, const std::string& name, std::optional<CLoginOutcome> outcome)
{
    if (m_stopping)
        return;
    try {
        if (!outcome) {
            LoginFailed(c, name);
        } else if (*outcome == CLoginOutcome::Superseded) {
            // As if it had gone ahead and the newer one had ended it.
            ServerLog("login " + name + " from " + c.link->Peer() +
                      " ends at once: a newer one on another node wins");
            CNetMessage accepted = MakeRecord(Cmd::LoginAccepted, {}, name);
            accepted.names.push_back(kReceiptsFeature);
            c.link->Send(accepted);
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

void CServer::HandleChangePassword(CConnection& c, CNetMessage& msg)
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
                CConnection* c = Find(weak);
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
