#pragma once

#include "connection.h"
#include "routingtable.h"
#include "uniquefunction.h"

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

class CCluster;
class CStore;
class CStoreRequests;

// Who is online, here and on the other nodes of a cluster, and who may see
// it: the online table of this node, the routing table (which accounts exist
// and who blocks whom permanently, mirrored from the store) and the cluster
// behind them, which every change to either reaches. Friends hear "SN" and
// "SX" from here. Served from memory, so it goes on while the store is slow
// or away.
class CPresence
{
public:
    CPresence(CStoreRequests& store, CConnections& connections);
    CPresence(const CPresence&) = delete;
    CPresence& operator=(const CPresence&) = delete;

    // Reads the routing table, before the loop runs.
    void Load(CStore& store) { m_routes.Load(store); }
    // Makes this server one node of `cluster`; without one it is alone.
    void UseCluster(CCluster& cluster) { m_cluster = &cluster; }
    // The other nodes, or null when this one is alone.
    CCluster* Cluster() const { return m_cluster; }
    // This node leaves: the other nodes take its users for offline at once.
    void Leave();

    // What the routing table says, as committed; the changes below keep the
    // other nodes in step.
    const CRoutingTable& Routes() const { return m_routes; }
    // An account was created here, or on another node (`announce` false).
    void AccountCreated(const std::string& name, bool announce);
    void AccountRemoved(const std::string& name) { m_routes.RemoveAccount(name); }
    // Calls `then(connection, exists)` once it is known whether the account
    // exists: from memory, or, in a cluster, for another node's write not
    // heard of yet, from the database.
    void WithAccount(CConnection& c, const std::string& name, CUniqueFunction<void(CConnection&, bool)> then);
    // A permanent block holds from now on; false when it did already.
    bool Block(const std::string& blocker, const std::string& blocked);
    // Undoes a Block that the store did not keep.
    void UndoBlock(const std::string& blocker, const std::string& blocked);
    // A permanent block the store has removed.
    void Unblock(const std::string& blocker, const std::string& blocked);
    // Another node changed a permanent block.
    void BlockChanged(const std::string& blocker, const std::string& blocked, bool added);

    // Lookups over the online table and both kinds of blocks. OnlineSession
    // is this node's connection only; the others count users on every node.
    CConnection* OnlineSession(const std::string& name) const;
    bool IsOnlineAnywhere(const std::string& name) const;
    bool IsBlocked(const std::string& blocker, const std::string& blocked) const;
    bool IsVisiblyOnline(const std::string& user, const std::string& viewer) const;
    // Users logged in on this node.
    std::size_t OnlineCount() const { return m_online.size(); }

    // `name` logs in on `c`: an older session of the user here ends, and
    // the login of `c` starts over for it. `endedElsewhere`: the login ended
    // a session on another node. True when the friends are to hear that the
    // user came online (TellFriends): it was not online all along.
    bool Arrive(CConnection& c, const std::string& name, bool endedElsewhere);
    // Reads whose friends list holds the user of `c`, once per login, and
    // with `announce` tells them the user is online.
    void TellFriends(CConnection& c, bool announce);
    // Tells the other nodes that the user of `c` is online here, with the
    // blocks of its session.
    void AnnounceSessionBlocks(CConnection& c);
    // The user of `c` logs off, `how` says why in the log; its friends see it.
    void LogOff(CConnection& c, const char* how);
    // `c` goes from the online table without telling anyone, after LogOff
    // failed half-way.
    void Drop(const CConnection& c);
    // Sends "SN" or "SX" (`command`) for `user` to the owners of `friendOf`
    // who are online and not blocked by the user permanently or by
    // `sessionBlocks`; with `remote`, also to those on other nodes.
    void SendPresence(const std::string& user, const std::vector<std::string>& friendOf,
                      const std::vector<std::string>& sessionBlocks, const char* command, bool remote = true);

    // What the other nodes tell of their users: `user` logged in on another
    // node, and its session here ends; it went with its node, or came back
    // with it.
    void Kick(const std::string& user);
    void UserGone(const std::string& user, const std::vector<std::string>& sessionBlocks);
    void UserBack(const std::string& user);

private:
    CStoreRequests& m_store;
    CConnections& m_connections;
    CRoutingTable m_routes;
    CCluster* m_cluster = nullptr;
    std::unordered_map<std::string, CConnection*> m_online;
};
