#include "natscluster.h"

#include "loopturn.h"
#include "natspayload.h"
#include "natswriter.h"
#include "serverlog.h"
#include "wire.h"

#include <nats/nats.h>

#include <asio/post.hpp>

#include <atomic>
#include <charconv>
#include <mutex>
#include <random>
#include <stdexcept>
#include <unordered_set>

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

void Check(natsStatus status, const std::string& what)
{
    if (status != NATS_OK)
        throw std::runtime_error(what + ": " + natsStatus_GetText(status) + " (" +
                                 nats_GetLastError(nullptr) + ")");
}

} // namespace

// Between the library's threads and the loop. The library keeps a plain
// pointer to it as the closure of every subscription and callback; the
// cluster detaches it before the connection goes, and the bridge itself
// lives on in whatever is still posted.
struct CNatsCluster::CBridge : std::enable_shared_from_this<CNatsCluster::CBridge>
{
    std::mutex mutex;
    asio::io_context* io = nullptr;
    CNatsCluster* owner = nullptr; // touched on the loop thread only, once attached
    // Asking the library would take the connection's lock, which a write
    // to a NATS server that does not read holds for as long as that lasts.
    std::atomic<bool> linkUp{true};

    // Messages go to the loop in batches: whatever the library delivers
    // while the loop has not yet taken the last batch joins it, so a burst
    // costs one handler, not one per message.
    struct CIncoming
    {
        std::string subject;
        std::string reply;
        std::string data;
        bool noResponders = false;
    };
    std::vector<CIncoming> incoming; // under the mutex

    void Post(std::string subject, std::string reply, std::string data, bool noResponders)
    {
        std::lock_guard lock(mutex);
        if (!io)
            return;
        const bool first = incoming.empty();
        incoming.push_back({std::move(subject), std::move(reply), std::move(data), noResponders});
        if (first)
            asio::post(*io, [self = shared_from_this()] { self->Drain(); });
    }

    void Drain()
    {
        std::vector<CIncoming> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(incoming);
        }
        for (const auto& message : batch) {
            const CLoopTurn turn([&] { return "cluster message on " + message.subject; });
            if (owner)
                owner->OnMessage(message.subject, message.reply, message.data, message.noResponders);
        }
    }

    void Log(std::string line)
    {
        std::lock_guard lock(mutex);
        if (io)
            asio::post(*io, [line = std::move(line)] { ServerLog(line); });
    }

    static void OnNatsMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* bridge = static_cast<CBridge*>(closure);
        const char* reply = natsMsg_GetReply(msg);
        std::string data(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
        bridge->Post(natsMsg_GetSubject(msg), reply ? reply : "", std::move(data),
                     natsMsg_IsNoResponders(msg));
        natsMsg_Destroy(msg);
    }

    static void OnDisconnected(natsConnection*, void* closure)
    {
        auto* bridge = static_cast<CBridge*>(closure);
        bridge->linkUp = false;
        bridge->Log("cluster: lost the NATS connection; reconnecting");
    }

    static void OnReconnected(natsConnection*, void* closure)
    {
        auto* bridge = static_cast<CBridge*>(closure);
        bridge->linkUp = true;
        std::lock_guard lock(bridge->mutex);
        if (bridge->io)
            asio::post(*bridge->io, [self = bridge->shared_from_this()] {
                if (self->owner)
                    self->owner->OnReconnected();
            });
    }

    static void OnError(natsConnection*, natsSubscription*, natsStatus status, void* closure)
    {
        static_cast<CBridge*>(closure)->Log(std::string("cluster: NATS error: ") +
                                            natsStatus_GetText(status));
    }
};

CNatsCluster::CNatsCluster(asio::io_context& io, const std::string& url, CClusterListener& listener)
    : m_io(io), m_listener(listener), m_bridge(std::make_shared<CBridge>()), m_node(RandomNodeId()),
      m_allSubject("murmurly.all"), m_replyPrefix(kReplyPrefix + m_node + "."), m_timer(io)
{
    m_bridge->io = &io;
    m_bridge->owner = this;

    // One delivery thread for every subscription keeps the order in which
    // the NATS server sent the messages, across subjects.
    Check(nats_SetMessageDeliveryPoolSize(1), "cannot configure the NATS client");
    natsOptions* options = nullptr;
    Check(natsOptions_Create(&options), "cannot configure the NATS client");
    const auto configure = [&] {
        Check(natsOptions_SetURL(options, url.c_str()), "invalid --cluster URL '" + url + "'");
        Check(natsOptions_SetName(options, ("murmurly-server " + m_node).c_str()), "NATS options");
        Check(natsOptions_SetNoEcho(options, true), "NATS options");
        // Every publish leaves at once rather than in the library's next
        // flush (which may be a while): an answer that says a record was
        // delivered must not be lost with a node that dies right after, or
        // the sender keeps the record too and the user gets it twice. The
        // answers of one turn go in one publish (Answer).
        Check(natsOptions_SetSendAsap(options, true), "NATS options");
        Check(natsOptions_UseGlobalMessageDelivery(options, true), "NATS options");
        Check(natsOptions_SetTimeout(options, 5000), "NATS options");
        // Without a deadline a write to a NATS server that stopped reading
        // waits forever, and the node could not even shut down. Past it the
        // link counts as lost and is made again.
        Check(natsOptions_SetWriteDeadline(options, 5000), "NATS options");
        Check(natsOptions_SetAllowReconnect(options, true), "NATS options");
        Check(natsOptions_SetMaxReconnect(options, -1), "NATS options");
        Check(natsOptions_SetReconnectWait(options, 500), "NATS options");
        Check(natsOptions_SetDisconnectedCB(options, &CBridge::OnDisconnected, m_bridge.get()),
              "NATS options");
        Check(natsOptions_SetReconnectedCB(options, &CBridge::OnReconnected, m_bridge.get()), "NATS options");
        Check(natsOptions_SetErrorHandler(options, &CBridge::OnError, m_bridge.get()), "NATS options");
        Check(natsConnection_Connect(&m_conn, options), "cannot join the cluster at " + url);
    };
    try {
        configure();
        natsOptions_Destroy(options);
        options = nullptr;
        m_fixedSubs.push_back(Subscribe(m_allSubject));
        m_fixedSubs.push_back(Subscribe(kNodePrefix + m_node));
        m_fixedSubs.push_back(Subscribe(m_replyPrefix + "*"));
        m_writer = std::make_unique<CNatsWriter>(
            m_conn, &CBridge::OnNatsMessage, m_bridge.get(), m_allSubject, Join('H', {m_node}),
            std::chrono::duration_cast<std::chrono::milliseconds>(kHeartbeat));
    } catch (...) {
        natsOptions_Destroy(options);
        for (auto* sub : m_fixedSubs)
            natsSubscription_Destroy(sub);
        natsConnection_Destroy(m_conn);
        {
            std::lock_guard lock(m_bridge->mutex);
            m_bridge->io = nullptr;
        }
        m_bridge->owner = nullptr;
        throw;
    }
    // Every node answers the hello with its directory.
    Broadcast(Join('W', {m_node}));
    m_lastTick = Clock::now();
    Tick();
}

CNatsCluster::~CNatsCluster()
{
    Leave();
    {
        std::lock_guard lock(m_bridge->mutex);
        m_bridge->io = nullptr;
    }
    m_bridge->owner = nullptr;
    m_timer.cancel();
    // What is queued goes out first, within the write deadline and the
    // goodbye's flush.
    m_writer->Stop();
    natsConnection_Close(m_conn);
    m_writer.reset();
    for (auto* sub : m_fixedSubs)
        natsSubscription_Destroy(sub);
    natsConnection_Destroy(m_conn);
    // The library's threads end here, so no callback can reach the bridge
    // after this.
    nats_CloseAndWait(2000);
}

natsSubscription* CNatsCluster::Subscribe(const std::string& subject)
{
    natsSubscription* sub = nullptr;
    Check(natsConnection_Subscribe(&sub, m_conn, subject.c_str(), &CBridge::OnNatsMessage, m_bridge.get()),
          "cannot subscribe to " + subject);
    // A busy node must not drop what it is sent: the bounds only guard
    // against a loop that stopped.
    natsSubscription_SetPendingLimits(sub, 1'000'000, 512 << 20);
    return sub;
}

void CNatsCluster::Publish(std::string subject, std::string data, const char* reply)
{
    if (m_left)
        return;
    m_writer->Publish(std::move(subject), std::move(data), reply ? reply : "");
}

bool CNatsCluster::LinkUp() const
{
    return m_bridge->linkUp;
}

void CNatsCluster::SubscribeUser(const std::string& user)
{
    if (m_userSubs.insert(user).second)
        m_writer->Subscribe(kUserPrefix + user);
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
            m_writer->Unsubscribe(kUserPrefix + user);
    }
    Broadcast(Join('F', {m_node, user}));
}

const std::vector<std::string>* CNatsCluster::RemoteSession(const std::string& user) const
{
    const auto it = m_remote.find(user);
    return it == m_remote.end() ? nullptr : &it->second.blocks;
}

void CNatsCluster::SendToUser(const std::string& user, const CNetMessage& msg, bool mustArrive)
{
    std::string data = "R";
    EncodeRecord(msg, data);
    if (!mustArrive) {
        Publish(kUserPrefix + user, data);
        return;
    }
    if (!m_left && !LinkUp()) {
        // NATS would keep the record while it reconnects and pass it on once
        // back, long after it was kept here for want of an answer: the user
        // would get it twice. Kept now, it is fetched once the link is back.
        asio::post(m_timer.get_executor(),
                   [this, kept = CNetMessage::FullCopy(msg)]() mutable { m_listener.OnClusterUndelivered(kept); });
        return;
    }
    const uint64_t seq = ++m_nextSeq;
    m_inFlight.emplace(seq, CInFlight{Clock::now(), CNetMessage::FullCopy(msg)});
    Publish(kUserPrefix + user, data, (m_replyPrefix + std::to_string(seq)).c_str());
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

void CNatsCluster::Leave()
{
    if (m_left || !m_writer)
        return;
    m_writer->Finish(m_allSubject, Join('G', {m_node}));
    m_left = true;
}

void CNatsCluster::OnMessage(const std::string& subject, const std::string& reply, const std::string& data,
                             bool noResponders)
{
    try {
        if (subject == m_allSubject)
            OnBroadcast(data);
        else if (subject.rfind(m_replyPrefix, 0) == 0 && subject.size() > m_replyPrefix.size() &&
                 (subject[m_replyPrefix.size()] == 'k' || subject[m_replyPrefix.size()] == 'p'))
            OnLoginReply(subject.substr(m_replyPrefix.size()), data, noResponders);
        else if (subject == m_replyPrefix + kAnswerBatch)
            OnAnswers(data);
        else if (subject.rfind(m_replyPrefix, 0) == 0)
            OnReply(subject.substr(m_replyPrefix.size()), data, noResponders);
        else if (subject.rfind(kUserPrefix, 0) == 0)
            OnUserSubject(subject.substr(sizeof kUserPrefix - 1), reply, data);
        else
            OnDirect(data);
    } catch (const std::exception& error) {
        ServerLog("cluster: error while handling a message on " + subject + ": " + error.what());
    }
}

void CNatsCluster::OnBroadcast(const std::string& data)
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
    }
}

void CNatsCluster::OnDirect(const std::string& data)
{
    // 'W' NODE: that node asks for this one's directory. 'Y' NODE, then one
    // line per user logged in there: NAME BLOCKS...
    if (data.empty())
        return;
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

void CNatsCluster::OnUserSubject(const std::string& user, const std::string& reply, const std::string& data)
{
    if (data.empty())
        return;
    if (data[0] == 'R') {
        CNetMessage msg;
        const auto result = DecodeRecord(std::string_view(data).substr(1), msg, kServerLimits);
        // Taken: delivered ("D") or kept ("S") here, either way the sender is
        // done. Not kept: no answer, and the sender's node keeps it.
        auto answer = [this, reply](CTakenAs taken) {
            if (!reply.empty() && taken != CTakenAs::Failed)
                Answer(reply, taken == CTakenAs::Stored ? 'S' : 'D');
        };
        if (result.status == DecodeStatus::Complete)
            m_listener.OnClusterRecord(user, msg, answer);
        else
            answer(CTakenAs::Delivered);
    } else if (data[0] == 'K') {
        OnKick(user, reply, Words(data));
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

void CNatsCluster::Answer(const std::string& reply, char taken)
{
    // "murmurly.reply.NODE.SEQ": the answers for one node go together, as
    // lines "D SEQ" or "S SEQ" to "murmurly.reply.NODE.batch", once per turn.
    const auto dot = reply.rfind('.');
    if (reply.rfind(kReplyPrefix, 0) != 0 || dot == std::string::npos || dot < sizeof kReplyPrefix - 1) {
        Publish(reply, std::string(1, taken));
        return;
    }
    std::string& lines = m_answers[reply.substr(0, dot + 1)];
    lines += taken;
    lines += ' ';
    lines.append(reply, dot + 1, std::string::npos);
    lines += '\n';
    if (m_answersPosted)
        return;
    m_answersPosted = true;
    asio::post(m_timer.get_executor(), [this] {
        m_answersPosted = false;
        auto answers = std::move(m_answers);
        m_answers.clear();
        for (auto& [prefix, lines] : answers)
            Publish(prefix + kAnswerBatch, std::move(lines));
    });
}

void CNatsCluster::OnAnswers(const std::string& lines)
{
    std::size_t start = 0;
    while (start + 2 < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos)
            end = lines.size();
        OnReply(lines.substr(start + 2, end - start - 2), std::string(1, lines[start]), false);
        start = end + 1;
    }
}

void CNatsCluster::OnReply(const std::string& seq, const std::string& data, bool noResponders)
{
    uint64_t id = 0;
    const auto [end, error] = std::from_chars(seq.data(), seq.data() + seq.size(), id);
    if (error != std::errc() || end != seq.data() + seq.size())
        return;
    const auto it = m_inFlight.find(id);
    if (it == m_inFlight.end())
        return;
    CNetMessage msg = std::move(it->second.msg);
    m_inFlight.erase(it);
    if (noResponders)
        m_listener.OnClusterUndelivered(msg);
    else
        m_listener.OnClusterTaken(msg, data != "S");
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
    // The heartbeat itself goes out from the writer's thread. After a turn
    // of the loop that ran long, the other nodes' heartbeats may still wait
    // behind this timer: nobody is judged on this beat.
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
    std::vector<CNetMessage> lost;
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        if (now - it->second.sent > kNodeTimeout) {
            lost.push_back(std::move(it->second.msg));
            it = m_inFlight.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& msg : lost)
        m_listener.OnClusterUndelivered(msg);
    m_timer.expires_after(kHeartbeat);
    m_timer.async_wait([this](const asio::error_code& error) {
        const CLoopTurn turn([] { return std::string("cluster heartbeat"); });
        if (!error)
            Tick();
    });
}
