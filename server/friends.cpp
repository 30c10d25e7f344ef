// The friends list, friend requests with their answers, and blocks.

#include "friends.h"

#include "cluster.h"
#include "commands.h"
#include "mailbox.h"
#include "presence.h"
#include "router.h"
#include "serverlog.h"
#include "serverrecords.h"
#include "store/store.h"
#include "storerequests.h"

#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

namespace {

// What an "AF" found and did in the store.
enum class CAdded {
    AlreadyFriend,
    Added,
    Kept, // a request that is pending already, or one the addressee's block drops
};

} // namespace

// An answer to a friend request, as the loop saw it when it came.
struct CFriends::CAnswer
{
    std::string answerer;
    std::string requester;
    bool addBack = false;
    // A requester who has since blocked the answerer hears nothing of the
    // answer and gets no new friend; the answerer's side still goes ahead.
    bool reachesRequester = false;
    bool withText = false;   // words for the requester
    bool storeWords = false; // kept with the answer, for a requester offline
};

// What an answer to a friend request did in the store.
struct CFriends::CAnswered
{
    bool accepted = false;
    bool overQuota = false;
    int64_t storedId = 0;
};

CFriends::CFriends(const CServerLimits& limits, CStoreRequests& store, CConnections& connections,
                   CPresence& presence, CMailbox& mailbox, CRouter& router)
    : m_limits(limits), m_store(store), m_connections(connections), m_presence(presence), m_mailbox(mailbox),
      m_router(router)
{
}

void CFriends::FriendsList(CConnection& c)
{
    const std::string user = c.login.user;
    m_store.Query(
        c, [user](CStore& store) { return store.Friends(user); },
        [this, user](CConnection& c, std::vector<std::string> friends) {
            CNetMessage answer = MakeRecord(Cmd::FriendsListAnswer, {}, user);
            for (auto& name : friends) {
                // A friend who blocks the user looks offline to them, as with "SN".
                if (m_presence.IsVisiblyOnline(name, user))
                    name.push_back('*');
                answer.names.push_back(std::move(name));
            }
            c.link->Send(answer);
        });
}

void CFriends::AddFriend(CConnection& c, CNetMessage& msg)
{
    const std::string user = c.login.user;
    const std::string name = msg.recipient;
    if (name == user) {
        c.link->Send(MakeRecord(Cmd::Failure, "You cannot add yourself"));
        return;
    }
    m_presence.WithAccount(
        c, name, [this, user, name, text = std::move(msg.text)](CConnection& c, bool exists) mutable {
            if (!exists) {
                c.link->Send(MakeRecord(Cmd::Failure, "User " + name + " does not exist"));
                return;
            }
            // A requester whose addressee blocks them is told "SF" like anyone
            // else, so the block stays invisible; the request is simply not kept.
            const bool blocked = m_presence.IsBlocked(name, user);
            m_store.Query(
                c,
                [user, name, text, blocked](CStore& store) {
                    if (store.IsFriend(user, name))
                        return CAdded::AlreadyFriend;
                    return !blocked && store.AddFriendRequest(user, name, text) ? CAdded::Added
                                                                                : CAdded::Kept;
                },
                [this, user, name, text](CConnection& c, CAdded added) {
                    if (added == CAdded::AlreadyFriend) {
                        c.link->Send(MakeRecord(Cmd::Failure, name + " is already in your friends list"));
                        return;
                    }
                    c.link->Send(MakeRecord(Cmd::FriendRequestSent, name));
                    if (added != CAdded::Added)
                        return;
                    // Before its "SLO" a session gets every pending request from
                    // that step, so a live copy now would only duplicate it.
                    CConnection* target = m_presence.OnlineSession(name);
                    if (target ? !target->login.complete : !m_presence.Cluster())
                        return;
                    CNetMessage sfa = FriendRequestRecord(user, name, text);
                    if (!target) {
                        m_presence.Cluster()->SendToUser(name, sfa, false); // that node minds the "SLO"
                        return;
                    }
                    // The read at "SLO" may still be under way, and find it too.
                    if (target->login.deliveredRequests.insert(user).second)
                        target->link->Send(sfa);
                });
        });
}

void CFriends::Answer(CConnection& c, CNetMessage& msg, bool addBack)
{
    // "AFA" (addBack) and "AFJ": recipient = the requester, text = the words
    // for the requester, sent on as an "SM" from the answerer.
    CAnswer answer;
    answer.answerer = c.login.user;
    answer.requester = msg.recipient;
    answer.addBack = addBack;
    answer.reachesRequester = !m_presence.IsBlocked(answer.requester, answer.answerer);
    CNetMessage sm = MakeRecord(Cmd::IncomingMessage, answer.answerer, answer.requester);
    answer.withText = answer.reachesRequester && !msg.text.empty();
    if (answer.withText) {
        sm.time = static_cast<int32_t>(std::time(nullptr));
        MoveWords(sm, msg);
    }
    // The friendships and the words kept for an offline requester change
    // together, in one transaction, before anyone hears of them. The quota
    // is the store's to check here: the answer is rare.
    answer.storeWords = answer.withText && !m_presence.IsOnlineAnywhere(answer.requester);
    CStoredMessage words;
    if (answer.storeWords) {
        words.sender = answer.answerer;
        words.recipient = answer.requester;
        words.time = sm.time;
        words.text = sm.text;
        words.faceName = sm.faceName;
        words.font = sm.font;
        words.color = sm.color;
        words.size = sm.size;
    }
    m_store.Query(
        c,
        [answer, words = std::move(words), maxCount = m_limits.maxOfflineMessages,
         maxBytes = m_limits.maxOfflineBytes](CStore& store) {
            CAnswered answered;
            CStore::CTransaction tx(store);
            if (!store.AcceptFriendRequest(answer.requester, answer.answerer, answer.reachesRequester,
                                           answer.addBack))
                return answered;
            answered.accepted = true;
            if (answer.storeWords) {
                // Past the requester's quota the friendship still goes ahead;
                // only the words are not kept, and the answerer is told.
                const CMessageUsage usage = store.MessageUsage(answer.requester);
                answered.overQuota = usage.count >= maxCount ||
                                     usage.bytes + words.text.size() + words.faceName.size() > maxBytes;
                if (!answered.overQuota)
                    answered.storedId = store.StoreMessage(words);
            }
            tx.Commit();
            return answered;
        },
        [this, answer, sm = std::move(sm)](CConnection& c, CAnswered answered) mutable {
            Answered(c, answer, sm, answered);
        });
}

void CFriends::Answered(CConnection& c, const CAnswer& answer, CNetMessage& sm, const CAnswered& answered)
{
    const std::string& requester = answer.requester;
    const std::string& answerer = answer.answerer;
    // Answered: a new request may follow. Only now, so that a late live copy
    // of this one, checked before the answer was committed, still counts as
    // sent.
    c.login.deliveredRequests.erase(requester);
    if (!answered.accepted)
        return;
    if (answered.overQuota)
        c.link->Send(CMailbox::QuotaFailure(requester));
    if (answered.storedId > 0) {
        m_mailbox.Forget(requester);
        m_mailbox.StoredFor(requester, answered.storedId);
    }
    if (answer.reachesRequester && m_presence.IsOnlineAnywhere(requester)) {
        const char* code =
            m_presence.IsVisiblyOnline(answerer, requester) ? Cmd::NewFriendOnline : Cmd::NewFriendOffline;
        if (CConnection* target = m_presence.OnlineSession(requester))
            target->link->Send(MakeRecord(code, answerer, requester));
        else
            m_presence.Cluster()->SendToUser(requester, MakeRecord(code, answerer, requester), false);
        // Words not kept with the answer go now, or into the store should
        // the requester have left meanwhile.
        if (answer.withText && !answer.storeWords)
            m_router.DeliverOrStore(
                KeyOf(answerer), sm, [](CMailbox::CKeptAs) {}, [](const std::string&) {});
    }
    if (answer.addBack) {
        const char* code =
            m_presence.IsVisiblyOnline(requester, answerer) ? Cmd::NewFriendOnline : Cmd::NewFriendOffline;
        c.link->Send(MakeRecord(code, requester, answerer));
    }
}

void CFriends::Decline(CConnection& c, CNetMessage& msg)
{
    const std::string user = c.login.user;
    const std::string requester = msg.recipient;
    m_store.Query(
        c,
        [user, requester](CStore& store) {
            store.RemoveFriendRequest(requester, user);
            return true;
        },
        [requester](CConnection& c, bool) { c.login.deliveredRequests.erase(requester); });
}

void CFriends::DeleteFriends(CConnection& c, CNetMessage& msg)
{
    // Only the user's own list changes; the other side keeps theirs.
    const std::string user = c.login.user;
    m_store.Query(
        c,
        [user, names = std::move(msg.names)](CStore& store) {
            store.RemoveFriends(user, names);
            return true;
        },
        [user](CConnection& c, bool) { c.link->Send(MakeRecord(Cmd::FriendsDeleted, {}, user)); });
}

void CFriends::TakeRemoteRequest(const std::string& user, CConnection& c, CNetMessage& msg)
{
    // Before its "SLO" a session gets every pending request from that step.
    // A live copy may come late, after the request was read there or even
    // answered: it goes out only while the request is pending and was not
    // sent in this login yet.
    if (!c.login.complete)
        return;
    const std::string requester = msg.sender; // before msg moves
    m_store.Request(
        KeyOf(user), false,
        [user, requester](CStore& store) { return store.HasFriendRequest(requester, user); },
        [this, user, weak = CWeakLink(c.link), sfa = std::move(msg)](bool pending) mutable {
            CConnection* c = m_connections.Find(weak);
            if (pending && c && c->login.user == user && c->login.deliveredRequests.insert(sfa.sender).second)
                c->link->Send(sfa);
        },
        [user](const std::string& reason) {
            ServerLog("store error while passing on a friend request for " + user + ": " + reason);
        });
}

void CFriends::Block(CConnection& c, CNetMessage& msg, bool permanent)
{
    const std::string user = c.login.user;
    const std::string name = msg.recipient;
    if (name == user)
        return;
    m_presence.WithAccount(c, name, [this, user, name, permanent](CConnection& c, bool exists) {
        if (!exists)
            return;
        auto& blocks = c.login.sessionBlocks;
        if (!permanent) {
            if (std::find(blocks.begin(), blocks.end(), name) == blocks.end() &&
                !m_presence.Routes().IsBlocked(user, name)) {
                blocks.push_back(name);
                m_presence.AnnounceSessionBlocks(c);
            }
            return;
        }
        // The block holds from now on, as the user asked; should the store
        // fail to keep it, it is undone with the connection.
        const bool added = m_presence.Block(user, name);
        // A session block made permanent is one block, not two.
        const auto it = std::find(blocks.begin(), blocks.end(), name);
        if (it != blocks.end()) {
            blocks.erase(it);
            m_presence.AnnounceSessionBlocks(c);
        }
        m_store.Query(
            c,
            [user, name](CStore& store) {
                store.AddBlock(user, name);
                return true;
            },
            [](CConnection&, bool) {},
            [this, user, name, added](const std::string&) {
                if (added)
                    m_presence.UndoBlock(user, name);
            });
    });
}

void CFriends::BlockedList(CConnection& c)
{
    const std::string user = c.login.user;
    m_store.Query(
        c, [user](CStore& store) { return store.Blocks(user); },
        [user](CConnection& c, std::vector<std::string> blocks) {
            CNetMessage answer = MakeRecord(Cmd::BlockedListAnswer, {}, user);
            answer.names = std::move(blocks);
            for (const auto& name : c.login.sessionBlocks)
                answer.names.push_back(name + "*");
            c.link->Send(answer);
        });
}

void CFriends::Unblock(CConnection& c, CNetMessage& msg)
{
    // The names come from the list as shown, so a session block still ends
    // in "*". All the permanent ones go in one transaction, and memory
    // follows only once it is committed.
    const std::string user = c.login.user;
    for (std::string& name : msg.names)
        if (!name.empty() && name.back() == '*')
            name.pop_back();
    auto names = std::make_shared<std::vector<std::string>>(std::move(msg.names));
    m_store.Query(
        c,
        [user, names](CStore& store) {
            CStore::CTransaction tx(store);
            for (const auto& name : *names)
                store.RemoveBlock(user, name);
            tx.Commit();
            return true;
        },
        [this, user, names](CConnection& c, bool) {
            auto& blocks = c.login.sessionBlocks;
            for (const auto& name : *names) {
                m_presence.Unblock(user, name);
                blocks.erase(std::remove(blocks.begin(), blocks.end(), name), blocks.end());
            }
            m_presence.AnnounceSessionBlocks(c);
            c.link->Send(MakeRecord(Cmd::Unblocked, {}, user));
        });
}
