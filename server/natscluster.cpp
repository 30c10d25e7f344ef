#include "natscluster.h"

#include "loopturn.h"
#include "natslink.h"
#include "natspayload.h"
#include "serverlog.h"
#include "wire.h"

#include <asio/post.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <unordered_set>
#include <utility>

using namespace NatsPayload;

namespace {

std::string RandomNodeId()
{
    std::random_device device;
    const uint64_t value = (uint64_t{device()} << 32) ^ device();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

CNatsCluster::CNatsCluster(asio::io_context& io, const std::string& url, CClusterListener& listener)
    : m_io(io), m_listener(listener), m_node(RandomNodeId()), m_allSubject("murmurly.all"),
      m_replyPrefix(kReplyPrefix + m_node + "."), m_timer(io)
{
    m_answerSubject = m_replyPrefix + kAnswerBatch;
    m_link = std::make_unique<CNatsLink>(
        io, url, "murmurly-server " + m_node,
        [this](const CNatsLink::CMessage& message) {
            const CLoopTurn turn([&] { return "cluster message on " + std::string(message.subject); });
            OnMessage(message.subject, message.reply, message.data, message.noResponders);
        },
        [this](bool up) {
            if (up)
                OnReconnected();
        });
    m_link->Subscribe(m_allSubject);
    m_link->Subscribe(kNodePrefix + m_node);
    m_link->Subscribe(m_replyPrefix + "*");
    // Every node answers the hello with its directory.
    Broadcast(Join('W', {m_node}));
    m_lastTick = Clock::now();
    Tick();
}

CNatsCluster::~CNatsCluster()
{
    Leave();
    m_timer.cancel();
    // What is queued (the goodbye) goes out as the link closes.
    m_link.reset();
}

void CNatsCluster::Publish(std::string_view subject, std::string_view data, std::string_view reply)
{
    if (m_left)
        return;
    m_link->Publish(subject, data, reply);
}

bool CNatsCluster::LinkUp() const
{
    return m_link->Up();
}

void CNatsCluster::SubscribeUser(const std::string& user)
{
    if (m_userSubs.insert(user).second)
        m_link->Subscribe(kUserPrefix + user);
}

void CNatsCluster::UserOnline(const std::string& user, const std::vector<std::string>& sessionBlocks)
{
    m_local[user] = sessionBlocks;
    // BeginLogin subscribed already.
    SubscribeUser(user);
    m_remote.erase(user);
    Broadcast(Join('O', {m_node, user}, sessionBlocks));
}

void CNatsCluster::UserOffline(const std::string& user)
{
    m_local.erase(user);
    // A login of the user that is under way here keeps the subscription.
    if (!LoginPending(user)) {
        m_loginStamps.erase(user);
        if (m_userSubs.erase(user))
            m_link->Unsubscribe(kUserPrefix + user);
    }
    Broadcast(Join('F', {m_node, user}));
}

const std::vector<std::string>* CNatsCluster::RemoteSession(const std::string& user) const
{
    const auto it = m_remote.find(user);
    return it == m_remote.end() ? nullptr : &it->second.blocks;
}

void CNatsCluster::NotifyStored(const std::string& user, int64_t fromId)
{
    Publish(kUserPrefix + user, "S " + std::to_string(fromId));
}

void CNatsCluster::AccountCreated(const std::string& name)
{
    Broadcast(Join('A', {m_node, name}));
}

void CNatsCluster::BlockChanged(const std::string& blocker, const std::string& blocked, bool added)
{
    Broadcast(Join(added ? 'P' : 'U', {m_node, blocker, blocked}));
}

namespace {

// The words of CAccountChange in an 'X' broadcast.
constexpr std::pair<CAccountChange, const char*> kAccountChanges[] = {
    {CAccountChange::Password, "passwd"},
    {CAccountChange::Locked, "lock"},
    {CAccountChange::Deleted, "delete"},
};

} // namespace

void CNatsCluster::AccountChanged(const std::string& name, CAccountChange change,
                                  const std::vector<std::string>& friendOf)
{
    for (const auto& [known, word] : kAccountChanges)
        if (known == change)
            Broadcast(Join('X', {m_node, name, word}, friendOf));
}

void CNatsCluster::Leave()
{
    if (m_left || !m_link)
        return;
    Broadcast(Join('G', {m_node}));
    m_left = true;
}

void CNatsCluster::OnMessage(std::string_view subject, std::string_view reply, std::string_view data,
                             bool noResponders)
{
    try {
        if (subject == m_allSubject)
            OnBroadcast(data);
        else if (subject.rfind(m_replyPrefix, 0) == 0 && subject.size() > m_replyPrefix.size() &&
                 (subject[m_replyPrefix.size()] == 'k' || subject[m_replyPrefix.size()] == 'p'))
            OnLoginReply(subject.substr(m_replyPrefix.size()), data, noResponders);
        else if (subject == m_answerSubject)
            OnAnswers(data);
        else if (subject.rfind(m_replyPrefix, 0) == 0 && subject.size() > m_replyPrefix.size() &&
                 subject[m_replyPrefix.size()] == 'n') {
            if (noResponders)
                OnBatchUnanswered(subject.substr(m_replyPrefix.size() + 1));
        } else if (subject.rfind(m_replyPrefix, 0) == 0)
            OnReply(subject.substr(m_replyPrefix.size()), data, noResponders);
        else if (subject.rfind(kUserPrefix, 0) == 0)
            OnUserSubject(std::string(subject.substr(sizeof kUserPrefix - 1)), reply, data);
        else
            OnDirect(data);
    } catch (const std::exception& error) {
        ServerLog("cluster: error while handling a message on " + std::string(subject) + ": " + error.what());
    }
}

void CNatsCluster::OnBroadcast(std::string_view data)
{
    if (data.empty())
        return;
    const char kind = data[0];
    auto words = Words(data);
    if (words.empty() || words[0] == m_node)
        return;
    const std::string node = words[0];
    if (kind == 'G') {
        NodeGone(node);
        return;
    }
    SawNode(node);
    if (kind == 'W') {
        SendDirectory(node);
    } else if (kind == 'O' && words.size() >= 2) {
        // A user who logs in elsewhere is no longer here; the kick that the
        // other node sent ends the session here.
        if (m_local.count(words[1]))
            return;
        CRemoteUser& entry = m_remote[words[1]];
        entry.node = node;
        entry.blocks.assign(words.begin() + 2, words.end());
    } else if (kind == 'F' && words.size() >= 2) {
        const auto it = m_remote.find(words[1]);
        if (it != m_remote.end() && it->second.node == node)
            m_remote.erase(it);
    } else if (kind == 'A' && words.size() >= 2) {
        m_listener.OnClusterAccount(words[1]);
    } else if ((kind == 'P' || kind == 'U') && words.size() >= 3) {
        m_listener.OnClusterBlock(words[1], words[2], kind == 'P');
    } else if (kind == 'X' && words.size() >= 3) {
        // 'X' NODE NAME CHANGE FRIEND-OF...: an account the operator changed.
        for (const auto& [change, word] : kAccountChanges)
            if (words[2] == word)
                m_listener.OnClusterAccountChanged(words[1], change, {words.begin() + 3, words.end()});
    }
}

void CNatsCluster::OnDirect(std::string_view data)
{
    // 'W' NODE: that node asks for this one's directory. 'Y' NODE, then one
    // line per user logged in there: NAME BLOCKS... 'B': records for users
    // here.
    if (data.empty())
        return;
    if (data[0] == 'B') {
        OnNodeRecords(data);
        return;
    }
    if (data[0] == 'W') {
        const auto words = Words(data);
        if (!words.empty()) {
            SawNode(words[0]);
            SendDirectory(words[0]);
        }
        return;
    }
    if (data[0] != 'Y')
        return;
    std::size_t lineEnd = data.find('\n');
    const auto head = Words(data.substr(0, lineEnd));
    if (head.empty())
        return;
    const std::string& node = head[0];
    SawNode(node);
    std::unordered_set<std::string> known;
    for (auto it = m_remote.begin(); it != m_remote.end();) {
        if (it->second.node == node) {
            known.insert(it->first);
            it = m_remote.erase(it);
        } else {
            ++it;
        }
    }
    // Users this node did not count as online: logged in there while no
    // news of them came, mostly while that node was taken for gone. Their
    // friends here saw them go; they see them come back.
    std::vector<std::string> back;
    while (lineEnd != std::string::npos) {
        const std::size_t next = data.find('\n', lineEnd + 1);
        auto words = Words(
            data.substr(lineEnd + 1, next == std::string::npos ? std::string::npos : next - lineEnd - 1), 0);
        lineEnd = next;
        if (words.empty() || m_local.count(words[0]))
            continue;
        if (!known.count(words[0]) && !m_remote.count(words[0]))
            back.push_back(words[0]);
        CRemoteUser& entry = m_remote[words[0]];
        entry.node = node;
        entry.blocks.assign(words.begin() + 1, words.end());
    }
    for (const auto& user : back)
        m_listener.OnClusterUserBack(user);
}

void CNatsCluster::OnUserSubject(const std::string& user, std::string_view reply, std::string_view data)
{
    if (data.empty())
        return;
    if (data[0] == 'R') {
        CNetMessage msg;
        const auto result = DecodeRecord(data.substr(1), msg, kServerLimits);
        // Taken: delivered ("D") or kept ("S") here, either way the sender is
        // done. Not kept: no answer, and the sender's node keeps it.
        auto answer = [this, reply = std::string(reply)](CTakenAs taken) {
            if (!reply.empty() && taken != CTakenAs::Failed)
                Answer(reply, taken == CTakenAs::Stored ? 'S' : 'D');
        };
        if (result.status == DecodeStatus::Complete)
            m_listener.OnClusterRecord(user, msg, answer);
        else
            answer(CTakenAs::Delivered);
    } else if (data[0] == 'K') {
        OnKick(user, std::string(reply), Words(data));
    } else if (data[0] == 'S') {
        // "S FROMID"; a bare "S" reads everything.
        const auto words = Words(data);
        int64_t fromId = 0;
        if (!words.empty())
            std::from_chars(words[0].data(), words[0].data() + words[0].size(), fromId);
        m_listener.OnClusterStored(user, fromId);
    }
}

void CNatsCluster::OnReconnected()
{
    ServerLog("cluster: NATS connection restored");
    // While the link was down, other nodes may have taken the users here
    // for offline and stored messages for them; the notices went nowhere.
    std::vector<std::string> users;
    for (const auto& [user, blocks] : m_local)
        users.push_back(user);
    for (const auto& user : users)
        m_listener.OnClusterStored(user, 0);
}

void CNatsCluster::SendDirectory(const std::string& node)
{
    std::string data = Join('Y', {m_node});
    for (const auto& [user, blocks] : m_local) {
        data += '\n' + user;
        for (const auto& b : blocks)
            data += ' ' + b;
    }
    Publish(kNodePrefix + node, data);
}

void CNatsCluster::SawNode(const std::string& node)
{
    const auto [it, added] = m_nodes.insert_or_assign(node, Clock::now());
    if (!added)
        return;
    ServerLog("cluster: node " + node + " joined");
    // A node heard of for the first time (or again after it was taken for
    // dead) may serve users this one has not heard of: ask.
    Publish(kNodePrefix + node, Join('W', {m_node}));
}

void CNatsCluster::NodeGone(const std::string& node)
{
    m_nodes.erase(node);
    std::vector<std::pair<std::string, std::vector<std::string>>> gone;
    for (auto it = m_remote.begin(); it != m_remote.end();) {
        if (it->second.node == node) {
            gone.emplace_back(it->first, std::move(it->second.blocks));
            it = m_remote.erase(it);
        } else {
            ++it;
        }
    }
    ServerLog("cluster: node " + node + " left; " + std::to_string(gone.size()) + " user(s) offline");
    for (const auto& [user, blocks] : gone)
        m_listener.OnClusterUserGone(user, blocks);
}

void CNatsCluster::Tick()
{
    if (m_left)
        return;
    Broadcast(Join('H', {m_node}));
    // After a turn of the loop that ran long, the other nodes' heartbeats
    // may still wait behind this timer: nobody is judged on this beat.
    const auto now = Clock::now();
    const bool stalled = now - m_lastTick > 2 * kHeartbeat;
    m_lastTick = now;
    std::vector<std::string> dead;
    for (const auto& [node, seen] : m_nodes)
        if (!stalled && now - seen > kNodeTimeout)
            dead.push_back(node);
    for (const auto& node : dead)
        NodeGone(node);
    // A record neither taken nor refused went to a node that died with it
    // on the way: it is kept here instead.
    KeepInFlight([now](const CInFlight& sent) { return now - sent.sent > kNodeTimeout; });
    m_timer.expires_after(kHeartbeat);
    m_timer.async_wait([this](const asio::error_code& error) {
        const CLoopTurn turn([] { return std::string("cluster heartbeat"); });
        if (!error)
            Tick();
    });
}
