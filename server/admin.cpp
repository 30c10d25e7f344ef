// The operator's requests from the admin socket: changes to accounts that
// the clients cannot make, each committed before it is told done, and
// followed by every node of a cluster.

#include "admin.h"

#include "accounts.h"
#include "commands.h"
#include "credentialrule.h"
#include "mailbox.h"
#include "presence.h"
#include "serverlog.h"
#include "store/store.h"
#include "storerequests.h"

#include <algorithm>
#include <memory>

namespace {

const char kNoSuchUser[] = "no such user";

// A name the store can hold at all; anything else names no account.
bool IsAccountName(const std::string& name)
{
    return IsValidCredential(name);
}

} // namespace

CAdmin::CAdmin(CStoreRequests& store, CPresence& presence, CAccounts& accounts, CMailbox& mailbox)
    : m_store(store), m_presence(presence), m_accounts(accounts), m_mailbox(mailbox)
{
}

std::vector<std::string> CAdmin::AccountNames(bool onlineOnly) const
{
    std::vector<std::string> names;
    for (const auto& name : m_presence.Routes().Accounts())
        if (!onlineOnly || m_presence.IsOnlineAnywhere(name))
            names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

void CAdmin::SetPassword(const std::string& name, std::string password, CAdminDone done)
{
    if (!IsAccountName(name)) {
        done(kNoSuchUser);
        return;
    }
    if (!IsValidCredential(password)) {
        done("the password is against the rule: 1 to " + std::to_string(MaxCredentialLength) +
             " letters or digits");
        return;
    }
    // The hasher's callbacks are copied; the answer is not.
    auto shared = std::make_shared<CAdminDone>(std::move(done));
    auto hashed = [this, name, shared](std::optional<std::string> hash) {
        if (!hash) {
            (*shared)("hashing the password failed");
            return;
        }
        m_store.Request(
            KeyOf(name), false,
            [name, hash = std::move(*hash)](CStore& store) {
                if (!store.AccountExists(name))
                    return false;
                store.SetPasswordHash(name, hash);
                return true;
            },
            [this, name, shared](bool found) {
                if (!found) {
                    (*shared)(kNoSuchUser);
                    return;
                }
                ServerLog("password of " + name + " set by the operator");
                m_accounts.EndSession(name, "password set by the operator");
                if (CCluster* cluster = m_presence.Cluster())
                    cluster->AccountChanged(name, CAccountChange::Password, {});
                (*shared)({});
            },
            [shared](const std::string& reason) { (*shared)("store error: " + reason); });
    };
    if (!m_accounts.Hasher().Hash("operator", 0, std::move(password), std::move(hashed)))
        (*shared)("hashing the password failed");
}

void CAdmin::SetLocked(const std::string& name, bool locked, CAdminDone done)
{
    if (!IsAccountName(name)) {
        done(kNoSuchUser);
        return;
    }
    auto shared = std::make_shared<CAdminDone>(std::move(done));
    m_store.Request(
        KeyOf(name), false, [name, locked](CStore& store) { return store.SetLocked(name, locked); },
        [this, name, locked, shared](bool found) {
            CAdminDone& answer = *shared;
            if (!found) {
                answer(kNoSuchUser);
                return;
            }
            ServerLog(name + (locked ? " locked" : " unlocked") + " by the operator");
            if (locked) {
                m_accounts.EndSession(name, "locked by the operator");
                if (CCluster* cluster = m_presence.Cluster())
                    cluster->AccountChanged(name, CAccountChange::Locked, {});
            }
            answer({});
        },
        [shared](const std::string& reason) { (*shared)("store error: " + reason); });
}

void CAdmin::Delete(const std::string& name, CAdminDone done)
{
    if (!IsAccountName(name)) {
        done(kNoSuchUser);
        return;
    }
    auto shared = std::make_shared<CAdminDone>(std::move(done));
    struct CDeleted
    {
        bool found = false;
        std::vector<std::string> friendOf;
    };
    m_store.Request(
        KeyOf(name), false,
        [name](CStore& store) {
            CDeleted deleted;
            deleted.friendOf = store.FriendOf(name);
            deleted.found = store.DeleteAccount(name);
            return deleted;
        },
        [this, name, shared](CDeleted deleted) {
            CAdminDone& answer = *shared;
            if (!deleted.found) {
                answer(kNoSuchUser);
                return;
            }
            ServerLog(name + " deleted by the operator");
            AccountDeleted(name, deleted.friendOf);
            if (CCluster* cluster = m_presence.Cluster())
                cluster->AccountChanged(name, CAccountChange::Deleted, deleted.friendOf);
            answer({});
        },
        [shared](const std::string& reason) { (*shared)("store error: " + reason); });
}

void CAdmin::AccountDeleted(const std::string& name, const std::vector<std::string>& friendOf)
{
    // Out of the table first, so that nothing routes to the name meanwhile
    // and its logoff finds nobody to tell: the friends hear "SX" below.
    m_presence.AccountRemoved(name);
    m_mailbox.Forget(name);
    m_accounts.EndSession(name, "deleted by the operator");
    m_presence.SendPresence(name, friendOf, {}, Cmd::FriendOffline, false);
}

void CAdmin::AccountChanged(const std::string& name, CAccountChange change,
                            const std::vector<std::string>& friendOf)
{
    if (change == CAccountChange::Deleted)
        AccountDeleted(name, friendOf);
    else
        m_accounts.EndSession(name, change == CAccountChange::Locked ? "locked by the operator"
                                                                     : "password set by the operator");
}
