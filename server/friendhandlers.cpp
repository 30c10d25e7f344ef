// The friends list, the delivery of what waited while the user was away, and
// friend requests with their answers.

#include "commands.h"
#include "server.h"
#include "serversession.h"
#include "store/store.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <optional>
#include <vector>

namespace {

std::string RequestText(const std::string& requester, const std::string& text)
{
    std::string out = "User " + requester + " wants to add you to his/her friends list";
    if (!text.empty()) {
        out.push_back('\n');
        out += text;
    }
    return out;
}

} // namespace

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

// Offline messages read at once: a page is small against the send queue's
// bound even with texts of the largest size, so that a mailbox of any size
// costs a client that does not read no more than a page.
constexpr std::size_t kMailPage = 8;

// A page of a user's offline messages, and where the next one starts.
struct CMailPage
{
    std::vector<CStoredMessage> messages;
    std::optional<int64_t> next;
};

// What waits for a user at login, read in one request.
struct CWaiting
{
    CMailPage page;
    std::vector<CFriendRequest> requests;
};

// A page of the user's offline messages from `fromId` on; those from users it
// blocks permanently are deleted instead (they join the pending group).
CMailPage ReadMailbox(CStore& store, const std::string& user, const std::unordered_set<std::string>& blocks,
                      int64_t fromId)
{
    CMailPage page;
    std::vector<CStoredMessage> read = store.Messages(user, fromId, kMailPage);
    if (read.size() == kMailPage)
        page.next = read.back().id + 1;
    for (auto& stored : read) {
        if (blocks.count(stored.sender))
            store.DeleteMessage(stored.id, user);
        else
            page.messages.push_back(std::move(stored));
    }
    return page;
}

} // namespace

void CServer::HandleLoginComplete(CConnection& c, CNetMessage&)
{
    // Served once per login: the client sends it after the first list only.
    if (c.login.complete)
        return;
    c.login.complete = true;
    c.login.fetchFrom.reset(); // this read takes in whatever was noticed
    // Notices that come while it runs, or while its later pages go out, only
    // say where to read again after the last page.
    c.login.fetching = true;
    const std::string user = c.login.user;
    m_mailUsage.erase(user); // blocked senders' messages go below
    // The blocks are those in memory, copied for the store's thread.
    m_store.Query(
        c,
        [user, blocks = m_presence.Routes().BlockedBy(user)](CStore& store) {
            CWaiting waiting;
            waiting.page = ReadMailbox(store, user, blocks, 0);
            for (auto& request : store.FriendRequests(user)) {
                if (blocks.count(request.requester))
                    store.RemoveFriendRequest(request.requester, user);
                else
                    waiting.requests.push_back(std::move(request));
            }
            return waiting;
        },
        [this, user](CConnection& c, CWaiting waiting) {
            // Everything that waited goes out as the client reads it, in this
            // order, however much it is; the session encodes it batch by batch.
            std::vector<int64_t> copies;
            const std::optional<int64_t> next = waiting.page.next;
            c.login.pageSent = false;
            std::vector<CNetMessage> backlog =
                MailboxRecords(c.login, std::move(waiting.page.messages), copies, !next);
            DeleteStoredCopies(user, std::move(copies));
            for (auto& request : waiting.requests) {
                // One that came live while this read ran went out already.
                if (!c.login.deliveredRequests.insert(request.requester).second)
                    continue;
                CNetMessage sfa = MakeRecord(Cmd::FriendRequest, request.requester, user);
                sfa.text = RequestText(request.requester, request.text);
                c.login.afterMail.push_back(std::move(sfa));
            }
            SendPage(c, std::move(backlog), next);
        });
}

std::vector<CNetMessage> CServer::MailboxRecords(CLogin& login, std::vector<CStoredMessage> messages,
                                                 std::vector<int64_t>& copies, bool last)
{
    std::vector<CNetMessage> records;
    for (auto& stored : messages) {
        // Messages committed meanwhile may be read twice, by the login's read
        // and by one after their notice; each goes out once per login.
        if (!login.deliveredIds.insert(stored.id).second)
            continue;
        // A message the login got live already: its stored copy goes.
        if (!stored.clientId.empty() && login.received.Add(stored.sender, stored.clientId, kReceiptStored)) {
            copies.push_back(stored.id);
            continue;
        }
        CNetMessage o = MakeRecord(Cmd::OfflineMessage, std::move(stored.sender), login.user);
        o.time = stored.time;
        MoveWords(o, stored);
        o.names.push_back(std::to_string(stored.id));
        if (!stored.clientId.empty())
            o.names.push_back(std::move(stored.clientId));
        records.push_back(std::move(o));
    }
    if (last && (!records.empty() || login.pageSent))
        records.push_back(MakeRecord(Cmd::OfflineEnd));
    login.pageSent = !last && (login.pageSent || !records.empty());
    return records;
}

void CServer::DeleteStoredCopies(const std::string& user, std::vector<int64_t> copies)
{
    if (copies.empty())
        return;
    m_store.Request(
        KeyOf(user), true,
        [user, copies = std::move(copies)](CStore& store) {
            for (const int64_t id : copies)
                store.DeleteMessage(id, user);
            return true;
        },
        [this, user](bool) { m_mailUsage.erase(user); },
        [user](const std::string& reason) {
            ServerLog("store error while deleting copies of messages " + user + " had: " + reason);
        });
}

void CServer::FetchStored(CConnection& c, int64_t fromId)
{
    // Before "SLO" the session reads everything at that step.
    if (!c.login.complete)
        return;
    // While a read runs, notices only lower where the next one starts.
    if (c.login.fetching) {
        c.login.fetchFrom = std::min(c.login.fetchFrom.value_or(fromId), fromId);
        return;
    }
    c.login.fetching = true;
    c.login.pageSent = false;
    ReadPage(c, fromId);
}

void CServer::ReadPage(CConnection& c, int64_t fromId)
{
    const std::string user = c.login.user;
    const CWeakLink weak = c.link;
    m_store.Request(
        KeyOf(user), false,
        [user, fromId, blocks = m_presence.Routes().BlockedBy(user)](CStore& store) {
            return ReadMailbox(store, user, blocks, fromId);
        },
        [this, user, weak](CMailPage page) {
            CConnection* c = Find(weak);
            if (!c || c->login.user != user)
                return;
            std::vector<int64_t> copies;
            SendPage(*c, MailboxRecords(c->login, std::move(page.messages), copies, !page.next), page.next);
            DeleteStoredCopies(user, std::move(copies));
        },
        [this, user, weak](const std::string& reason) {
            ServerLog("store error while reading the offline messages of " + user + ": " + reason);
            if (CConnection* c = Find(weak); c && c->login.user == user) {
                // They come at the next notice or login.
                c->login.fetching = false;
                c->login.fetchFrom.reset();
                c->login.nextPage.reset();
            }
        });
}

void CServer::SendPage(CConnection& c, std::vector<CNetMessage> records, std::optional<int64_t> next)
{
    if (next && records.empty()) {
        ReadPage(c, *next); // nothing of this page was for the client
        return;
    }
    c.login.nextPage = next;
    if (!next) {
        for (auto& record : c.login.afterMail)
            records.push_back(std::move(record));
        c.login.afterMail.clear();
    }
    c.link->SendBacklog(std::move(records), next.has_value());
    if (next || !c.login.fetching)
        return;
    c.login.fetching = false;
    if (const auto from = c.login.fetchFrom) {
        c.login.fetchFrom.reset();
        FetchStored(c, *from);
    }
}

void CServer::BacklogTaken(CServerSession& session)
{
    const auto it = m_connections.find(&session);
    if (it == m_connections.end() || !it->second.login.nextPage || !session.IsOpen())
        return;
    const int64_t from = *it->second.login.nextPage;
    it->second.login.nextPage.reset();
    ReadPage(it->second, from);
}

void CServer::HandleOfflineAck(CConnection& c, CNetMessage& msg)
{
    // "ON" echoes the "O" whole; names[0] is the stored message's id. Only
    // the acknowledging user's own messages can be deleted.
    if (msg.names.empty())
        return;
    const std::string& text = msg.names.front();
    int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || id <= 0)
        return;
    const std::string user = c.login.user;
    m_store.Write(
        c, [id, user](CStore& store) { return store.DeleteMessage(id, user); },
        [this, user](CConnection&, bool deleted) {
            if (deleted)
                m_mailUsage.erase(user); // read again when next needed
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
                    CNetMessage sfa = MakeRecord(Cmd::FriendRequest, user, name);
                    sfa.text = RequestText(user, text);
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
                c.link->Send(QuotaFailure(requester));
            if (answered.storedId > 0) {
                m_mailUsage.erase(requester);
                StoredFor(requester, answered.storedId);
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
                    DeliverOrStore(
                        KeyOf(answerer), sm, [](CKeptAs) {}, [](const std::string&) {});
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
