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

void CServer::HandleRegister(CServerSession& session, CNetMessage& msg)
{
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
    if (m_routes.HasAccount(name)) {
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
    auto done = [this, self = session.shared_from_this(), name, taken, address,
                 guarded](std::optional<std::string> hash) {
        bool created = false;
        // The answer below must not overtake what other requests left
        // pending, nor take it down if this write fails.
        CommitPending();
        try {
            if (!hash) {
                ServerLog("password hashing failed for a registration from " + self->Peer());
                self->Close();
            } else if (!m_store.CreateAccount(name, *hash)) {
                // Another connection registered the name while we hashed.
                self->Send(MakeRecord(Cmd::Failure, taken));
            } else {
                created = true;
                m_routes.AddAccount(name);
                if (m_cluster)
                    m_cluster->AccountCreated(name);
                ServerLog("registered " + name + " from " + self->Peer());
                self->Send(MakeRecord(Cmd::Registered));
            }
        } catch (const std::exception& error) {
            ServerLog("error while registering from " + self->Peer() + ": " + error.what());
            self->Close();
        }
        if (guarded)
            m_guard.RegistrationEnded(address, created, CLoginGuard::Clock::now());
        self->Resume();
    };
    const bool queued = m_hasher.Hash(address, guarded ? m_limits.maxQueuedHashes : 0,
                                      std::move(msg.recipient), std::move(done));
    if (!queued) {
        ServerLog("hashing queue of " + address + " is full; refusing a registration");
        session.Send(MakeRecord(Cmd::RegistrationRefused, kInvalidCredentials));
        return;
    }
    if (guarded)
        m_guard.RegistrationStarted(address);
    session.Hold();
}

void CServer::HandleLogin(CServerSession& session, CNetMessage& msg)
{
    const std::string name = msg.sender;
    const std::string address = AddressKey(PeerAddress(session.Peer()));
    const bool guarded = m_guard.Applies(address);
    const auto now = CLoginGuard::Clock::now();
    // Locked out: answered at once, and no hashing is spent on it.
    if (guarded && !m_guard.MayLogin(address, name, now)) {
        LoginFailed(session, name);
        return;
    }
    if (!IsValidCredential(name) || !IsValidCredential(msg.recipient)) {
        if (guarded)
            m_guard.LoginRejected(address, name, now);
        LoginFailed(session, name);
        return;
    }
    // A name without an account is checked against a dummy hash, so that
    // its answer takes as long as a wrong password's.
    std::optional<std::string> hash = m_store.PasswordHash(name);
    const bool known = hash.has_value();
    auto done = [this, self = session.shared_from_this(), name, address, guarded, known](bool ok) {
        ok = ok && known;
        if (guarded)
            m_guard.LoginChecked(address, name, ok, CLoginGuard::Clock::now());
        // A connection that went away meanwhile logs nobody in.
        if (!self->IsOpen() || m_stopping)
            return;
        try {
            if (ok)
                CompleteLogin(*self, name);
            else
                LoginFailed(*self, name);
        } catch (const std::exception& error) {
            ServerLog("error during login from " + self->Peer() + ": " + error.what());
            self->Close();
        }
        self->Resume();
    };
    const bool queued = m_hasher.Verify(address, guarded ? m_limits.maxQueuedHashes : 0,
                                        known ? std::move(*hash) : m_hasher.DummyHash(),
                                        std::move(msg.recipient), std::move(done));
    if (!queued) {
        LoginFailed(session, name);
        return;
    }
    if (guarded)
        m_guard.LoginStarted(address, name);
    session.Hold();
}

void CServer::HandleChangePassword(CServerSession& session, CNetMessage& msg)
{
    // "C": recipient = the new password, text = the old one.
    if (!IsValidCredential(msg.recipient)) {
        session.Send(MakeRecord(Cmd::Failure, kInvalidCredentials));
        return;
    }
    const std::string user = session.User();
    auto hash = m_store.PasswordHash(user);
    if (!hash) {
        session.Send(MakeRecord(Cmd::Failure, "Old password is incorrect"));
        return;
    }
    const std::string address = AddressKey(PeerAddress(session.Peer()));
    auto done = [this, self = session.shared_from_this(), user](std::optional<std::string> newHash) {
        try {
            if (!newHash) {
                self->Send(MakeRecord(Cmd::Failure, "Old password is incorrect"));
            } else {
                CommitPending();
                m_store.SetPasswordHash(user, *newHash);
                ServerLog("password changed for " + user);
                self->Send(MakeRecord(Cmd::PasswordChanged));
            }
        } catch (const std::exception& error) {
            ServerLog("error while changing a password: " + std::string(error.what()));
            self->Close();
        }
        self->Resume();
    };
    const std::size_t bound = m_guard.Applies(address) ? m_limits.maxQueuedHashes : 0;
    const bool queued = m_hasher.Rehash(address, bound, std::move(*hash), std::move(msg.text),
                                        std::move(msg.recipient), std::move(done));
    if (!queued) {
        session.Send(MakeRecord(Cmd::Failure, "Old password is incorrect"));
        return;
    }
    session.Hold();
}
