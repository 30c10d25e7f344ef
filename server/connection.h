#pragma once

#include "clientlink.h"
#include "netmessage.h"
#include "sentids.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

// What the server knows of one connection beyond its bytes: who logged in on
// it and what that login has done. The accounts set the user, presence its
// blocks and who has it as a friend, the mailbox what it was sent; a new
// login, or its end, starts the whole of it over.
struct CLogin
{
    // Empty before a successful login and after the user was logged off
    // or replaced by a newer login.
    std::string user;
    bool complete = false; // "SLO" was served
    int failedLogins = 0;
    std::vector<std::string> sessionBlocks; // "BU" blocks, in the order made
    // Who has the user as a friend, as read at login: presence falls back
    // on it when the store cannot say at logoff.
    std::vector<std::string> friendOf;
    // What this login was sent from the store and must not get twice
    // when a later read or another node's live copy follows: offline
    // message ids, and the requesters of friend requests.
    std::unordered_set<int64_t> deliveredIds;
    std::unordered_set<std::string> deliveredRequests;
    // The ids of the messages this login got, live or stored: a message
    // that comes both ways (kept by its sender's node while NATS was
    // away, then passed on when it came back) goes out once.
    CSentIds received;
    // Reading what was stored for the user meanwhile: whether a read
    // runs, and from which id the next one must read.
    bool fetching = false;
    std::optional<int64_t> fetchFrom;
    // Mailboxes are read a page at a time as the client takes them: where
    // the next page starts, and whether pages of this read went out.
    std::optional<int64_t> nextPage;
    bool pageSent = false;
    // What waited at login besides the messages: it goes behind them.
    std::vector<CNetMessage> afterMail;
};

struct CConnection
{
    std::shared_ptr<CClientLink> link;
    CLogin login;
};

using CWeakLink = std::weak_ptr<CClientLink>;

// The connections as the services find them again once the store, a worker
// or another node has answered; the server that holds them implements it.
class CConnections
{
public:
    virtual ~CConnections() = default;

    // The connection of `link` while it is still open, else null.
    virtual CConnection* Find(const CWeakLink& link) = 0;
    // The server is shutting down: nobody logs in any more, and nobody is
    // told of those who leave.
    virtual bool Stopping() const = 0;
};
