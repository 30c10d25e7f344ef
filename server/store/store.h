#pragma once

#include "logfont.h"
#include "storeerror.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
    // The id the sender's client gave the message; empty when it gave none.
    std::string clientId;
};

// What the offline messages of one recipient take: how many, and the bytes
// of their texts and font names.
struct CMessageUsage
{
    std::size_t count = 0;
    std::size_t bytes = 0;
};

// Whose offline messages MessageUsage counts.
enum class CUsageOf {
    Recipient,
    Sender,
    All,
};

// How long one store request may take unless the operator says otherwise
// (--store-timeout).
inline constexpr std::chrono::milliseconds kDefaultStoreTimeout{10'000};

struct CFriendRequest
{
    std::string requester;
    std::string text;
};

// Everything the server keeps across restarts. Protocol code talks only to
// this interface; a store for another database implements it alone.
//
// Durability: each call is atomic, and a change is committed (durable) when
// the call returns, so the server may send the answer that reports it right
// after. Two kinds of call are exceptions, because they come at the rate of
// chat messages: StoreMessage and DeleteMessage, made outside a transaction
// scope, join the pending group instead. The group is committed as one by
// CommitPending, or with the next commit of any other change; until then a
// crash loses it. Reads always see pending changes. The server commits the
// group once per turn of its loop and before it sends any answer that
// depends on it.
//
// A store is used by one thread at a time; only Interrupt may be called from
// another.
class CStore
{
public:
    virtual ~CStore() = default;

    // Groups the calls made while it lives into one transaction: Commit makes
    // all their changes durable together; a scope that ends without Commit
    // (a thrown error, an early return) undoes them all, and leaves the
    // pending group as it was. Scopes nest: an inner scope's changes become
    // durable with the outermost scope's Commit. When Commit throws, the
    // scope's changes are undone as it ends; when the outermost one throws,
    // the pending group is lost with them (and reported by CommitPending).
    class CTransaction
    {
    public:
        explicit CTransaction(CStore& store) : m_store(store) { m_store.BeginTransaction(); }
        ~CTransaction()
        {
            if (!m_done)
                m_store.RollbackTransaction();
        }
        CTransaction(const CTransaction&) = delete;
        CTransaction& operator=(const CTransaction&) = delete;

        void Commit()
        {
            m_store.CommitTransaction();
            m_done = true;
        }

    private:
        CStore& m_store;
        bool m_done = false;
    };

    // True while StoreMessage or DeleteMessage changes wait for a commit;
    // also once the database lost the group (a failed statement, a lost
    // connection), until CommitPending reports the loss.
    virtual bool HasPending() const = 0;
    // Commits the pending group. When it throws, the group is lost.
    virtual void CommitPending() = 0;

    // Makes a call that is under way on another thread (waiting for a lock,
    // a slow statement, a silent network) give up soon with CStoreError, as
    // if it had failed; a call that has not reached the database yet may
    // run. The store serves the next calls as usual, on a new connection
    // where it needed to drop one. Safe to call from any thread.
    virtual void Interrupt() noexcept = 0;

    // Accounts. CreateAccount returns false when the name is taken.
    virtual bool CreateAccount(const std::string& name, const std::string& passwordHash) = 0;
    virtual bool AccountExists(const std::string& name) = 0;
    virtual std::optional<std::string> PasswordHash(const std::string& name) = 0;
    virtual void SetPasswordHash(const std::string& name, const std::string& passwordHash) = 0;
    // Every account name, in no particular order.
    virtual std::vector<std::string> AccountNames() = 0;
    // A locked account keeps everything, but its logins fail. SetLocked
    // returns false when there is no such account.
    virtual bool SetLocked(const std::string& name, bool locked) = 0;
    virtual bool IsLocked(const std::string& name) = 0;
    // Removes the account with everything of it, in one transaction: its
    // friendships both ways, friend requests both ways, the offline messages
    // waiting for it, and blocks both ways. Returns false when there was no
    // such account.
    virtual bool DeleteAccount(const std::string& name) = 0;

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
    // Every permanent block as (blocker, blocked), in no particular order.
    virtual std::vector<std::pair<std::string, std::string>> AllBlocks() = 0;

    // Offline messages. StoreMessage ignores message.id and returns the new
    // one; ids are never reused. It returns 0, keeping nothing, when a
    // message of the same sender with the same non-empty clientId is kept
    // already (a resend). DeleteMessage only deletes a message of that
    // recipient and returns whether one was deleted. Both join the pending
    // group (see above) when called outside a transaction scope.
    virtual int64_t StoreMessage(const CStoredMessage& message) = 0;
    // With `fromId`, only the messages whose id is at least that; with
    // `limit`, at most that many of them (the first), so that a mailbox of
    // any size is read in pages.
    virtual std::vector<CStoredMessage> Messages(const std::string& recipient, int64_t fromId = 0,
                                                 std::size_t limit = 0) = 0;
    virtual bool DeleteMessage(int64_t id, const std::string& recipient) = 0;
    // Counts pending messages too. `of` says whose: those for `name`, those
    // from `name`, or all of them (`name` is then not used).
    virtual CMessageUsage MessageUsage(const std::string& name, CUsageOf of = CUsageOf::Recipient) = 0;

protected:
    virtual void BeginTransaction() = 0;
    virtual void CommitTransaction() = 0;
    virtual void RollbackTransaction() noexcept = 0;
};
