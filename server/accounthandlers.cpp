// "R", "L" and "C": the requests that need a password hashed or checked.
// Each holds its session while a worker does the slow part, so the answer
// goes out before anything the client sent after the request is served.

#include "commands.h"
#include "credentials.h"
#include "server.h"
#include "serverlog.h"
#include "store/store.h"

namespace {

const char kInvalidCredentials[] = "Invalid user name or password";

} // namespace

void CServer::HandleRegister(CServerSession& session, CNetMessage& msg)
{
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
    session.Hold();
    m_hasher.Hash(std::move(msg.recipient), [this, self = session.shared_from_this(), name,
                                             taken](std::optional<std::string> hash) {
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
                m_routes.AddAccount(name);
                ServerLog("registered " + name + " from " + self->Peer());
                self->Send(MakeRecord(Cmd::Registered));
            }
        } catch (const std::exception& error) {
            ServerLog("error while registering from " + self->Peer() + ": " + error.what());
            self->Close();
        }
        self->Resume();
    });
}

void CServer::HandleLogin(CServerSession& session, CNetMessage& msg)
{
    const std::string name = msg.sender;
    std::optional<std::string> hash;
    if (IsValidCredential(name) && IsValidCredential(msg.recipient))
        hash = m_store.PasswordHash(name);
    if (!hash) {
        LoginFailed(session);
        return;
    }
    session.Hold();
    m_hasher.Verify(std::move(*hash), std::move(msg.recipient),
                    [this, self = session.shared_from_this(), name](bool ok) {
                        // A connection that went away meanwhile logs nobody in.
                        if (!self->IsOpen() || m_stopping)
                            return;
                        try {
                            if (ok)
                                CompleteLogin(*self, name);
                            else
                                LoginFailed(*self);
                        } catch (const std::exception& error) {
                            ServerLog("error during login from " + self->Peer() + ": " + error.what());
                            self->Close();
                        }
                        self->Resume();
                    });
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
    session.Hold();
    m_hasher.Rehash(std::move(*hash), std::move(msg.text), std::move(msg.recipient),
                    [this, self = session.shared_from_this(), user](std::optional<std::string> newHash) {
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
                    });
}
