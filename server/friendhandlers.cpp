// The friends list, the delivery of what waited while the user was away, and
// friend requests with their answers.

#include "commands.h"
#include "server.h"
#include "store/store.h"

#include <charconv>
#include <ctime>
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

void CServer::HandleFriendsList(CServerSession& session, CNetMessage&)
{
    const std::string& user = session.User();
    CNetMessage answer = MakeRecord(Cmd::FriendsListAnswer, {}, user);
    for (auto& name : m_store.Friends(user)) {
        // A friend who blocks the user looks offline to them, as with "SN".
        if (IsVisiblyOnline(name, user))
            name.push_back('*');
        answer.names.push_back(std::move(name));
    }
    session.Send(answer);
}

void CServer::HandleLoginComplete(CServerSession& session, CNetMessage&)
{
    // Served once per login: the client sends it after the first list only.
    if (session.m_loginComplete)
        return;
    session.m_loginComplete = true;
    const std::string user = session.User();
    m_mailUsage.erase(user); // blocked senders' messages go below

    // Everything that waited goes out as the client reads it, in this order,
    // however much it is; the session encodes it batch by batch.
    std::vector<CNetMessage> backlog = TakeOfflineMessages(session);
    if (!backlog.empty())
        backlog.push_back(MakeRecord(Cmd::OfflineEnd));

    for (auto& request : m_store.FriendRequests(user)) {
        if (m_store.IsBlocked(user, request.requester)) {
            m_store.RemoveFriendRequest(request.requester, user);
            continue;
        }
        if (m_cluster)
            session.m_deliveredRequests.insert(request.requester);
        CNetMessage sfa = MakeRecord(Cmd::FriendRequest, request.requester, user);
        sfa.text = RequestText(request.requester, request.text);
        backlog.push_back(std::move(sfa));
    }
    session.SendBacklog(std::move(backlog));
}

std::vector<CNetMessage> CServer::TakeOfflineMessages(CServerSession& session)
{
    const std::string& user = session.User();
    std::vector<CNetMessage> records;
    for (auto& stored : m_store.Messages(user)) {
        if (m_store.IsBlocked(user, stored.sender)) {
            m_store.DeleteMessage(stored.id, user);
            continue;
        }
        // On a node of a cluster, messages stored for the user by another
        // node can follow at any time; each goes out once per login.
        if (m_cluster && !session.m_deliveredIds.insert(stored.id).second)
            continue;
        CNetMessage o = MakeRecord(Cmd::OfflineMessage, std::move(stored.sender), user);
        o.time = stored.time;
        MoveWords(o, stored);
        o.names.push_back(std::to_string(stored.id));
        if (!stored.clientId.empty())
            o.names.push_back(std::move(stored.clientId));
        records.push_back(std::move(o));
    }
    return records;
}

void CServer::HandleOfflineAck(CServerSession& session, CNetMessage& msg)
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
    if (m_store.DeleteMessage(id, session.User()))
        m_mailUsage.erase(session.User()); // read again when next needed
}

void CServer::HandleAddFriend(CServerSession& session, CNetMessage& msg)
{
    const std::string& user = session.User();
    const std::string& name = msg.recipient;
    if (name == user) {
        session.Send(MakeRecord(Cmd::Failure, "You cannot add yourself"));
        return;
    }
    if (!AccountKnown(name)) {
        session.Send(MakeRecord(Cmd::Failure, "User " + name + " does not exist"));
        return;
    }
    if (m_store.IsFriend(user, name)) {
        session.Send(MakeRecord(Cmd::Failure, name + " is already in your friends list"));
        return;
    }
    // A requester whose addressee blocks them is told "SF" like anyone else,
    // so the block stays invisible; the request is simply not kept.
    bool added = false;
    if (!IsBlocked(name, user))
        added = m_store.AddFriendRequest(user, name, msg.text);
    session.Send(MakeRecord(Cmd::FriendRequestSent, name));
    if (!added)
        return;
    // Before its "SLO" a session gets every pending request from that step,
    // so a live copy now would only duplicate it.
    CServerSession* target = OnlineSession(name);
    if (target ? !target->m_loginComplete : !m_cluster)
        return;
    CNetMessage sfa = MakeRecord(Cmd::FriendRequest, user, name);
    sfa.text = RequestText(user, msg.text);
    if (target)
        target->Send(sfa);
    else
        m_cluster->SendToUser(name, sfa, false); // that node minds the "SLO"
}

void CServer::HandleFriendAnswer(CServerSession& session, CNetMessage& msg, bool addBack)
{
    // "AFA" (addBack) and "AFJ": recipient = the requester, text = the words
    // for the requester, sent on as an "SM" from the answerer.
    const std::string answerer = session.User();
    const std::string requester = msg.recipient;
    session.m_deliveredRequests.erase(requester); // a new request may follow
    if (!m_store.HasFriendRequest(requester, answerer))
        return;
    // A requester who has since blocked the answerer hears nothing of the
    // answer and gets no new friend; the answerer's side still goes ahead.
    const bool reachesRequester = !IsBlocked(requester, answerer);
    CNetMessage sm = MakeRecord(Cmd::IncomingMessage, answerer, requester);
    const bool withText = reachesRequester && !msg.text.empty();
    if (withText) {
        sm.time = static_cast<int32_t>(std::time(nullptr));
        MoveWords(sm, msg);
    }
    // The friendships and the words kept for an offline requester change
    // together, before anyone hears of them.
    CServerSession* target = reachesRequester ? OnlineSession(requester) : nullptr;
    const bool remote = reachesRequester && !target && m_cluster && m_cluster->RemoteSession(requester);
    CStore::CTransaction tx(m_store);
    if (!m_store.AcceptFriendRequest(requester, answerer, reachesRequester, addBack))
        return;
    // Past the requester's quota the friendship still goes ahead; only the
    // words are not kept, and the answerer is told.
    const bool overQuota = withText && !target && !remote && DeliverOrStore(sm) == CDelivery::OverQuota;
    tx.Commit();
    if (overQuota)
        session.Send(QuotaFailure(requester));

    if (target || remote) {
        const char* code =
            IsVisiblyOnline(answerer, requester) ? Cmd::NewFriendOnline : Cmd::NewFriendOffline;
        if (target)
            target->Send(MakeRecord(code, answerer, requester));
        else
            m_cluster->SendToUser(requester, MakeRecord(code, answerer, requester), false);
        if (withText)
            DeliverOrStore(sm);
    }
    if (addBack) {
        const char* code =
            IsVisiblyOnline(requester, answerer) ? Cmd::NewFriendOnline : Cmd::NewFriendOffline;
        session.Send(MakeRecord(code, requester, answerer));
    }
}

void CServer::HandleDecline(CServerSession& session, CNetMessage& msg)
{
    m_store.RemoveFriendRequest(msg.recipient, session.User());
    session.m_deliveredRequests.erase(msg.recipient);
}

void CServer::HandleDeleteFriends(CServerSession& session, CNetMessage& msg)
{
    // Only the user's own list changes; the other side keeps theirs.
    m_store.RemoveFriends(session.User(), msg.names);
    session.Send(MakeRecord(Cmd::FriendsDeleted, {}, session.User()));
}
