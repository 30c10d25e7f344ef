// The friends list, the delivery of what waited while the user was away, and
// friend requests with their answers.

#include "commands.h"
#include "server.h"
#include "serversession.h"
#include "store/store.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <vector>

void CServer::HandleFriendsList(CConnection& c, CNetMessage&)
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

namespace {

// What an "AF" found and did in the store.
enum class CAdded
{
    AlreadyFriend,
    Added,
    Kept, // a request that is pending already, or one the addressee's block drops
};

} // namespace

void CServer::HandleAddFriend(CConnection& c, CNetMessage& msg)
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

namespace {

// What an answer to a friend request did in the store.
struct CAnswered
{
    bool accepted = false;
    bool overQuota = false;
    int64_t storedId = 0;
};

} // namespace

void CServer::HandleFriendAnswer(CConnection& c, CNetMessage& msg, bool addBack)
{
    // "AFA" (addBack) and "AFJ": recipient = the requester, text = the words
    // for the requester, sent on as an "SM" from the answerer.
    const std::string answerer = c.login.user;
    const std::string requester = msg.recipient;
    // A requester who has since blocked the answerer hears nothing of the
    // answer and gets no new friend; the answerer's side still goes ahead.
    const bool reachesRequester = !m_presence.IsBlocked(requester, answerer);
    CNetMessage sm = MakeRecord(Cmd::IncomingMessage, answerer, requester);
    const bool withText = reachesRequester && !msg.text.empty();
    if (withText) {
        sm.time = static_cast<int32_t>(std::time(nullptr));
        MoveWords(sm, msg);
    }
    // The friendships and the words kept for an offline requester change
    // together, in one transaction, before anyone hears of them. The quota
    // is the store's to check here: the answer is rare.
    const bool storeWords = withText && !m_presence.IsOnlineAnywhere(requester);
    CStoredMessage words;
    if (storeWords) {
        words.sender = answerer;
        words.recipient = requester;
        words.time = sm.time;
        words.text = sm.text;
        words.faceName = sm.faceName;
        words.font = sm.font;
        words.color = sm.color;
        words.size = sm.size;
    }
    m_store.Query(
        c,
        [requester, answerer, reachesRequester, addBack, storeWords, words = std::move(words),
         maxCount = m_limits.maxOfflineMessages, maxBytes = m_limits.maxOfflineBytes](CStore& store) {
            CAnswered answered;
            CStore::CTransaction tx(store);
            if (!store.AcceptFriendRequest(requester, answerer, reachesRequester, addBack))
                return answered;
            answered.accepted = true;
            if (storeWords) {
                // Past the requester's quota the friendship still goes ahead;
                // only the words are not kept, and the answerer is told.
                const CMessageUsage usage = store.MessageUsage(requester);
                answered.overQuota = usage.count >= maxCount ||
                                     usage.bytes + words.text.size() + words.faceName.size() > maxBytes;
                if (!answered.overQuota)
                    answered.storedId = store.StoreMessage(words);
            }
            tx.Commit();
            return answered;
        },
        [this, requester, answerer, addBack, reachesRequester, withText, storeWords,
         sm = std::move(sm)](CConnection& c, CAnswered answered) mutable {
            // Answered: a new request may follow. Only now, so that a late
            // live copy of this one, checked before the answer was
            // committed, still counts as sent.
            c.login.deliveredRequests.erase(requester);
            if (!answered.accepted)
                return;
            if (answered.overQuota)
                c.link->Send(CMailbox::QuotaFailure(requester));
            if (answered.storedId > 0) {
                m_mailbox.Forget(requester);
                m_mailbox.StoredFor(requester, answered.storedId);
            }
            if (reachesRequester && m_presence.IsOnlineAnywhere(requester)) {
                const char* code = m_presence.IsVisiblyOnline(answerer, requester) ? Cmd::NewFriendOnline
                                                                                   : Cmd::NewFriendOffline;
                if (CConnection* target = m_presence.OnlineSession(requester))
                    target->link->Send(MakeRecord(code, answerer, requester));
                else
                    m_presence.Cluster()->SendToUser(requester, MakeRecord(code, answerer, requester), false);
                // Words not kept with the answer go now, or into the store
                // should the requester have left meanwhile.
                if (withText && !storeWords)
                    m_router.DeliverOrStore(
                        KeyOf(answerer), sm, [](CMailbox::CKeptAs) {}, [](const std::string&) {});
            }
            if (addBack) {
                const char* code = m_presence.IsVisiblyOnline(requester, answerer) ? Cmd::NewFriendOnline
                                                                                   : Cmd::NewFriendOffline;
                c.link->Send(MakeRecord(code, requester, answerer));
            }
        });
}

void CServer::HandleDecline(CConnection& c, CNetMessage& msg)
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

void CServer::HandleDeleteFriends(CConnection& c, CNetMessage& msg)
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
