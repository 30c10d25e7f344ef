#pragma once

#include "netmessage.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What became of an "SM" that another node passed to the user's node.
enum class CTakenAs
{
    Delivered, // handed to the user's connection
    Stored,    // kept as an offline message, or dropped for a block (which looks the same)
    Failed,    // not kept: the sender's node keeps it itself
};

// How a login of a user here stands with the other nodes.
enum class CLoginOutcome {
    Alone,          // no session of the user ended elsewhere, or no answer came in time
    EndedElsewhere, // a session on another node ended: the user was online all along
    Superseded,     // a newer login of the user on another node wins; this one ends at once
};

// What the operator changed of an account, which every node must follow.
enum class CAccountChange {
    Password, // its sessions end
    Locked,   // its sessions end, and its logins fail
    Deleted,  // its sessions end, and its friends see it leave
};

// What a node of a cluster hears from the other nodes. Every call arrives on
// the server's own loop thread, never on a thread of the transport.
class CClusterListener
{
public:
    virtual ~CClusterListener() = default;

    // A record for `user`, who was logged in here when it was sent; when the
    // user is no longer here, an "SM" is kept as an offline message. What
    // became of it is told to `taken`, on the loop, once it is so (for a
    // message kept, once it is committed), and goes back to the sender's
    // node.
    virtual void OnClusterRecord(const std::string& user, CNetMessage& msg,
                                 std::function<void(CTakenAs)> taken) = 0;
    // An "SM" with an id (its sender waits for a receipt) sent with
    // SendToUser(mustArrive) that the user's node took: `delivered` to the
    // user's connection, or else kept there.
    virtual void OnClusterTaken(CNetMessage& msg, bool delivered) = 0;
    // An "SM" sent with SendToUser that nobody took: the user went away.
    virtual void OnClusterUndelivered(CNetMessage& msg) = 0;
    // `user` logged in on another node: the session here ends with "ZX".
    virtual void OnClusterKick(const std::string& user) = 0;
    // Another node committed offline messages for `user`, with ids from
    // `fromId` on (0: not known, any).
    virtual void OnClusterStored(const std::string& user, int64_t fromId) = 0;
    // `user`, logged in on a node that stopped or stopped answering, is
    // offline now; `sessionBlocks` are the blocks that session had made.
    virtual void OnClusterUserGone(const std::string& user,
                                   const std::vector<std::string>& sessionBlocks) = 0;
    // `user`, logged in on a node that was taken for gone, is known to be
    // online again now that the node is back.
    virtual void OnClusterUserBack(const std::string& user) = 0;
    // Writes made on other nodes to what the routing table mirrors.
    virtual void OnClusterAccount(const std::string& name) = 0;
    virtual void OnClusterBlock(const std::string& blocker, const std::string& blocked, bool added) = 0;
    // The operator changed `name` through another node; `friendOf`, for a
    // deleted account, are the owners of friends lists that held it.
    virtual void OnClusterAccountChanged(const std::string& name, CAccountChange change,
                                         const std::vector<std::string>& friendOf) = 0;
};

// The link from one server node to the others. Each node announces the users
// logged in on it, so that every node knows who is online anywhere (and the
// blocks their sessions made) without asking the database; a record for a
// user on another node goes straight to that node.
//
// All calls come from the server's loop thread and none waits for the
// network: what must come back arrives through the listener or a callback.
class CCluster
{
public:
    virtual ~CCluster() = default;

    // Readies a login of `user` here: what is sent to the user from now on
    // comes to this node, and the user's sessions on other nodes end. Of two
    // logins racing on two nodes, the newer one wins. `done` runs on the loop
    // once the other nodes have answered and the NATS server has the
    // subscription, or after two seconds at most; unless the outcome is
    // Superseded, the login then goes ahead with UserOnline, or is dropped.
    virtual void BeginLogin(const std::string& user, std::function<void(CLoginOutcome)> done) = 0;
    // `user` logged in here, or changed the blocks of its session.
    virtual void UserOnline(const std::string& user, const std::vector<std::string>& sessionBlocks) = 0;
    // `user` logged off here (or was replaced by a login elsewhere).
    virtual void UserOffline(const std::string& user) = 0;
    // Null when `user` is not logged in on another node; else the blocks of
    // that session.
    virtual const std::vector<std::string>* RemoteSession(const std::string& user) const = 0;

    // Sends `msg` to the node where `user` is logged in, if any. With
    // `mustArrive`, a record that finds nobody comes back through
    // OnClusterUndelivered, and one with an id that is taken through
    // OnClusterTaken; either way every field of it.
    virtual void SendToUser(const std::string& user, const CNetMessage& msg, bool mustArrive) = 0;
    // Tells the node where `user` logs in that offline messages were
    // committed for them, with ids from `fromId` on.
    virtual void NotifyStored(const std::string& user, int64_t fromId) = 0;

    // Committed writes that the other nodes' routing tables must follow.
    virtual void AccountCreated(const std::string& name) = 0;
    virtual void BlockChanged(const std::string& blocker, const std::string& blocked, bool added) = 0;
    // A committed change of the operator's to an account (see
    // OnClusterAccountChanged).
    virtual void AccountChanged(const std::string& name, CAccountChange change,
                                const std::vector<std::string>& friendOf) = 0;

    // Tells the other nodes that this one leaves, so that its users turn
    // offline for them at once.
    virtual void Leave() = 0;
};
