#include "presence.h"

#include "cluster.h"
#include "commands.h"
#include "serverlog.h"
#include "serverrecords.h"
#include "store/store.h"
#include "storerequests.h"

#include <algorithm>

namespace {

// The login ends; the failed logins of its connection still count.
void EndLogin(CLogin& login)
{
    const int failedLogins = login.failedLogins;
    login = CLogin();
    login.failedLogins = failedLogins;
}

} // namespace

CPresence::CPresence(CStoreRequests& store, CConnections& connections)
    : m_store(store), m_connections(connections)
{
}

void CPresence::Leave()
{
    if (m_cluster)
        m_cluster->Leave();
}

void CPresence::AccountCreated(const std::string& name, bool announce)
{
    m_routes.AddAccount(name);
    if (announce && m_cluster)
        m_cluster->AccountCreated(name);
}

void CPresence::WithAccount(CConnection& c, const std::string& name,
                            CUniqueFunction<void(CConnection&, bool)> then)
{
    if (m_routes.HasAccount(name) || !m_cluster) {
        then(c, m_routes.HasAccount(name));
        return;
    }
    m_store.Query(
        c, [name](CStore& store) { return store.AccountExists(name); },
        [this, name, then = std::move(then)](CConnection& c, bool exists) mutable {
            if (exists)
                m_routes.AddAccount(name);
            then(c, exists);
        });
}

bool CPresence::Block(const std::string& blocker, const std::string& blocked)
{
    const bool had = m_routes.IsBlocked(blocker, blocked);
    m_routes.AddBlock(blocker, blocked);
    if (m_cluster && !had)
        m_cluster->BlockChanged(blocker, blocked, true);
    return !had;
}

void CPresence::UndoBlock(const std::string& blocker, const std::string& blocked)
{
    m_routes.RemoveBlock(blocker, blocked);
    if (m_cluster)
        m_cluster->BlockChanged(blocker, blocked, false);
}

void CPresence::Unblock(const std::string& blocker, const std::string& blocked)
{
    if (m_cluster && m_routes.IsBlocked(blocker, blocked))
        m_cluster->BlockChanged(blocker, blocked, false);
    m_routes.RemoveBlock(blocker, blocked);
}

void CPresence::BlockChanged(const std::string& blocker, const std::string& blocked, bool added)
{
    if (added)
        m_routes.AddBlock(blocker, blocked);
    else
        m_routes.RemoveBlock(blocker, blocked);
}

CConnection* CPresence::OnlineSession(const std::string& name) const
{
    auto it = m_online.find(name);
    return it == m_online.end() ? nullptr : it->second;
}

bool CPresence::IsOnlineAnywhere(const std::string& name) const
{
    return OnlineSession(name) || (m_cluster && m_cluster->RemoteSession(name));
}

bool CPresence::IsBlocked(const std::string& blocker, const std::string& blocked) const
{
    const std::vector<std::string>* sessionBlocks = nullptr;
    if (const CConnection* c = OnlineSession(blocker))
        sessionBlocks = &c->login.sessionBlocks;
    else if (m_cluster)
        sessionBlocks = m_cluster->RemoteSession(blocker);
    if (sessionBlocks) {
        for (const auto& name : *sessionBlocks)
            if (name == blocked)
                return true;
    }
    return m_routes.IsBlocked(blocker, blocked);
}

bool CPresence::IsVisiblyOnline(const std::string& user, const std::string& viewer) const
{
    return IsOnlineAnywhere(user) && !IsBlocked(user, viewer);
}

bool CPresence::Arrive(CConnection& c, const std::string& name, bool endedElsewhere)
{
    auto it = m_online.find(name);
    const bool wasOnline = it != m_online.end();
    const bool elsewhere = !wasOnline && m_cluster && (endedElsewhere || m_cluster->RemoteSession(name));
    if (wasOnline) {
        // The older session ends; the user stays online through this one, so
        // nobody sees the user go offline and come back.
        CConnection& old = *it->second;
        ServerLog("login " + name + " from " + c.link->Peer() + " ends the session from " + old.link->Peer());
        c.login.friendOf = std::move(old.login.friendOf);
        old.login = CLogin();
        old.link->Send(MakeRecord(Cmd::AdminLogoff));
        old.link->CloseAfterFlush();
        it->second = &c;
    } else {
        ServerLog("login " + name + " from " + c.link->Peer() +
                  (elsewhere ? ", ending a session on another node" : ""));
        m_online.emplace(name, &c);
    }
    const int failedLogins = c.login.failedLogins;
    std::vector<std::string> friendOf = std::move(c.login.friendOf);
    c.login = CLogin();
    c.login.user = name;
    c.login.failedLogins = failedLogins;
    c.login.friendOf = std::move(friendOf);
    return !wasOnline && !elsewhere;
}

void CPresence::TellFriends(CConnection& c, bool announce)
{
    // Whose friends list holds the user is read once per login, to tell them
    // unless the user was online all along; logoff falls back on it should
    // the store not answer then.
    const std::string name = c.login.user;
    m_store.Request(
        KeyOf(name), false, [name](CStore& store) { return store.FriendOf(name); },
        [this, name, announce, weak = CWeakLink(c.link)](std::vector<std::string> owners) {
            CConnection* c = m_connections.Find(weak);
            if (!c || c->login.user != name)
                return; // gone again; its logoff told the friends
            c->login.friendOf = owners;
            if (announce)
                SendPresence(name, owners, c->login.sessionBlocks, Cmd::FriendOnline);
        },
        [name](const std::string& reason) {
            ServerLog("store error while telling the friends of " + name + " that it is online: " + reason);
        });
}

void CPresence::AnnounceSessionBlocks(CConnection& c)
{
    if (m_cluster && !c.login.user.empty())
        m_cluster->UserOnline(c.login.user, c.login.sessionBlocks);
}

void CPresence::LogOff(CConnection& c, const char* how)
{
    const std::string user = c.login.user;
    auto it = m_online.find(user);
    if (it != m_online.end() && it->second == &c) {
        // The other nodes hear of it before the friends do, so that a
        // message a friend writes on seeing "SX" is stored, not sent after.
        if (m_cluster)
            m_cluster->UserOffline(user);
        m_online.erase(it);
        ServerLog("logoff " + user + " (" + how + ")");
        if (!m_connections.Stopping()) {
            // The session's own blocks still count for its "SX"; who holds
            // the user as a friend is read again, as it may have changed,
            // and taken from the login when the store cannot say.
            m_store.Request(
                KeyOf(user), false, [user](CStore& store) { return store.FriendOf(user); },
                [this, user, blocks = c.login.sessionBlocks](std::vector<std::string> owners) {
                    if (!OnlineSession(user))
                        SendPresence(user, owners, blocks, Cmd::FriendOffline);
                },
                [this, user, blocks = c.login.sessionBlocks,
                 owners = c.login.friendOf](const std::string& reason) {
                    ServerLog("store error while reading the friends of " + user + ": " + reason +
                              "; telling those of the login");
                    if (!OnlineSession(user))
                        SendPresence(user, owners, blocks, Cmd::FriendOffline);
                });
        }
    }
    EndLogin(c.login);
}

void CPresence::Drop(const CConnection& c)
{
    const auto online = m_online.find(c.login.user);
    if (online != m_online.end() && online->second == &c)
        m_online.erase(online);
}

void CPresence::SendPresence(const std::string& user, const std::vector<std::string>& friendOf,
                             const std::vector<std::string>& sessionBlocks, const char* command, bool remote)
{
    if (m_connections.Stopping())
        return;
    for (const auto& owner : friendOf) {
        if (owner == user || m_routes.IsBlocked(user, owner) ||
            std::find(sessionBlocks.begin(), sessionBlocks.end(), owner) != sessionBlocks.end())
            continue;
        if (CConnection* target = OnlineSession(owner))
            target->link->Send(MakeRecord(command, user));
        // Whether the owner is online elsewhere is not asked: one may be
        // logging in on another node right now, and its node knows.
        else if (m_cluster && remote)
            m_cluster->SendToUser(owner, MakeRecord(command, user), false);
    }
}

void CPresence::Kick(const std::string& user)
{
    const auto it = m_online.find(user);
    if (it == m_online.end())
        return;
    // The user stays online through the newer session on the other node:
    // no "SX" for the friends.
    CConnection& old = *it->second;
    ServerLog("login " + user + " on another node ends the session from " + old.link->Peer());
    EndLogin(old.login);
    old.link->Send(MakeRecord(Cmd::AdminLogoff));
    old.link->CloseAfterFlush();
    m_online.erase(it);
    m_cluster->UserOffline(user);
}

void CPresence::UserGone(const std::string& user, const std::vector<std::string>& sessionBlocks)
{
    if (OnlineSession(user) || m_connections.Stopping())
        return; // logged in here since
    m_store.Request(
        KeyOf(user), false, [user](CStore& store) { return store.FriendOf(user); },
        [this, user, sessionBlocks](std::vector<std::string> owners) {
            if (!OnlineSession(user) && !(m_cluster && m_cluster->RemoteSession(user)))
                SendPresence(user, owners, sessionBlocks, Cmd::FriendOffline, false);
        },
        [user](const std::string& reason) {
            ServerLog("store error while telling the friends of " + user + " that it left: " + reason);
        });
}

void CPresence::UserBack(const std::string& user)
{
    if (OnlineSession(user) || m_connections.Stopping())
        return;
    m_store.Request(
        KeyOf(user), false, [user](CStore& store) { return store.FriendOf(user); },
        [this, user](std::vector<std::string> owners) {
            const auto* blocks = m_cluster ? m_cluster->RemoteSession(user) : nullptr;
            if (!blocks || OnlineSession(user))
                return;
            // The blocks of the session on the other node came with its
            // directory. Only the friends here hear of it: each node tells
            // its own.
            for (const auto& owner : owners) {
                CConnection* target = OnlineSession(owner);
                if (target && owner != user && !IsBlocked(user, owner))
                    target->link->Send(MakeRecord(Cmd::FriendOnline, user));
            }
        },
        [user](const std::string& reason) {
            ServerLog("store error while telling the friends of " + user + " that it is back: " + reason);
        });
}
