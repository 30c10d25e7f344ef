#pragma once

#include "logfont.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Raised by a store when the database cannot do what was asked (disk full,
// corrupt file, ...). The server treats it as fatal for the request.
class CStoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One message kept for a recipient who was offline when it was sent. Only the
// font values that travel on the wire are kept (not lfHeight or lfFaceName).
struct CStoredMessage
{
    int64_t id = 0;
    std::string sender;
    std::string recipient;
    std::string text;
    int32_t time = 0;
    std::string faceName;
    CLogFont font;
    uint32_t color = 0;
    int32_t size = 0;
};

struct CFriendRequest
{
    std::string requester;
    std::string text;
};

// Everything the server keeps across restarts. Each call is atomic and its
// change is committed (durable) when the call returns, so the server may send
// the answer that reports it right after. Protocol code talks only to this
// interface; a store for another database implements it alone.
class CStore
{
public:
    virtual ~CStore() = default;

    // Accounts. CreateAccount returns false when the name is taken.
    virtual bool CreateAccount(const std::string& name, const std::string& passwordHash) = 0;
    virtual bool AccountExists(const std::string& name) = 0;
    virtual std::optional<std::string> PasswordHash(const std::string& name) = 0;
    virtual void SetPasswordHash(const std::string& name, const std::string& passwordHash) = 0;

    // Friends lists, each in the order its entries were added.
    virtual std::vector<std::string> Friends(const std::string& owner) = 0;
    // The owners whose friends list holds `name`.
    virtual std::vector<std::string> FriendOf(const std::string& name) = 0;
    virtual bool IsFriend(const std::string& owner, const std::string& name) = 0;
    virtual void RemoveFriends(const std::string& owner, const std::vector<std::string>& names) = 0;

    // Pending friend requests. AddFriendRequest returns false (and keeps the
    // first one) when the same request is already pending.
    virtual bool AddFriendRequest(const std::string& requester, const std::string& addressee,
                                  const std::string& text) = 0;
    virtual bool HasFriendRequest(const std::string& requester, const std::string& addressee) = 0;
    virtual std::vector<CFriendRequest> FriendRequests(const std::string& addressee) = 0;
    virtual void RemoveFriendRequest(const std::string& requester, const std::string& addressee) = 0;
    // Removes the pending request and adds the friendships asked for, in one
    // transaction. Returns false, changing nothing, when none was pending.
    virtual bool AcceptFriendRequest(const std::string& requester, const std::string& answerer,
                                     bool addAnswererToRequester, bool addRequesterToAnswerer) = 0;

    // Permanent blocks, listed in the order they were made.
    virtual void AddBlock(const std::string& blocker, const std::string& blocked) = 0;
    virtual void RemoveBlock(const std::string& blocker, const std::string& blocked) = 0;
    virtual bool IsBlocked(const std::string& blocker, const std::string& blocked) = 0;
    virtual std::vector<std::string> Blocks(const std::string& blocker) = 0;

    // Offline messages. StoreMessage ignores message.id and returns the new
    // one; ids are never reused. DeleteMessage only deletes a message of that
    // recipient and returns whether one was deleted.
    virtual int64_t StoreMessage(const CStoredMessage& message) = 0;
    virtual std::vector<CStoredMessage> Messages(const std::string& recipient) = 0;
    virtual bool DeleteMessage(int64_t id, const std::string& recipient) = 0;
};
