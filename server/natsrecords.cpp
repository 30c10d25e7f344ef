// The records CNatsCluster passes between nodes for users, and what became
// of them.
//
// A message for a user on a known node joins that node's batch, and each
// turn sends one batch per node to the node's own subject:
//   "B" SENDERNODE, then per record: "\n" SEQ " " USER " " SIZE "\n" RECORD
// with a reply subject of its own, so that a node that is gone is told at
// once ("no responders") rather than after kNodeTimeout. The taking node
// answers every record by its number, together with its other answers of the
// turn. Other records for users (presence, friend requests) go to the user's
// subject, since the user may be logging in on a node this one has not heard
// of yet; the NATS server passes on what one node publishes in order, across
// subjects.

#include "natscluster.h"

#include "natslink.h"
#include "natspayload.h"
#include "wire.h"

#include <asio/post.hpp>

#include <algorithm>
#include <charconv>
#include <memory>

using namespace NatsPayload;

namespace {

// Room kept in a batch below the NATS server's largest payload.
constexpr std::size_t kBatchMargin = 1024;

} // namespace

CNetMessage CNatsCluster::CInFlight::Message() const
{
    // Encoded here, so it decodes.
    CNetMessage msg;
    DecodeRecord(record, msg, kServerLimits);
    return msg;
}

void CNatsCluster::SendToUser(const std::string& user, const CNetMessage& msg, bool mustArrive)
{
    if (!mustArrive) {
        std::string data = "R";
        EncodeRecord(msg, data);
        Publish(kUserPrefix + user, data);
        return;
    }
    if (!m_left && !LinkUp()) {
        // NATS would keep the record while it reconnects and pass it on once
        // back, long after it was kept here for want of an answer: the user
        // would get it twice. Kept now, it is fetched once the link is back.
        asio::post(m_timer.get_executor(), [this, kept = CNetMessage::FullCopy(msg)]() mutable {
            m_listener.OnClusterUndelivered(kept);
        });
        return;
    }
    const uint64_t seq = ++m_nextSeq;
    m_record.clear();
    EncodeRecord(msg, m_record);
    m_inFlight.emplace(seq, CInFlight{Clock::now(), m_record, 0, !msg.names.empty()});
    const auto remote = m_remote.find(user);
    const std::size_t limit = m_link->MaxPayload() > kBatchMargin ? m_link->MaxPayload() - kBatchMargin : 0;
    if (remote == m_remote.end() || remote->second.node.empty() || m_record.size() + user.size() > limit) {
        // No node to send it to, or too large to go with others.
        char reply[96];
        char* const end = std::copy(m_replyPrefix.begin(), m_replyPrefix.end(), reply);
        Publish(kUserPrefix + user, "R" + m_record,
                std::string_view(reply, std::to_chars(end, reply + sizeof reply, seq).ptr - reply));
        return;
    }
    const std::string& node = remote->second.node;
    auto batch = std::find_if(m_batches.begin(), m_batches.end(),
                              [&](const CBatch& batch) { return batch.node == node; });
    if (batch == m_batches.end())
        batch = m_batches.insert(m_batches.end(), CBatch{node, {}, {}});
    if (!batch->payload.empty() && batch->payload.size() + m_record.size() + user.size() + 48 > limit)
        SendBatch(*batch);
    if (batch->payload.empty())
        batch->payload = Join('B', {m_node});
    char header[64];
    char* end = header;
    *end++ = '\n';
    end = std::to_chars(end, header + sizeof header, seq).ptr;
    batch->payload.append(header, end);
    batch->payload += ' ';
    batch->payload += user;
    batch->payload += ' ';
    end = std::to_chars(header, header + sizeof header, m_record.size()).ptr;
    batch->payload.append(header, end);
    batch->payload += '\n';
    batch->payload += m_record;
    batch->seqs.push_back(seq);
    if (m_batchesPosted)
        return;
    m_batchesPosted = true;
    asio::post(m_timer.get_executor(), [this] {
        m_batchesPosted = false;
        for (CBatch& batch : m_batches)
            SendBatch(batch);
    });
}

void CNatsCluster::SendBatch(CBatch& batch)
{
    if (batch.payload.empty())
        return;
    const uint64_t number = ++m_nextBatch;
    for (const uint64_t seq : batch.seqs)
        if (const auto it = m_inFlight.find(seq); it != m_inFlight.end())
            it->second.batch = number;
    Publish(kNodePrefix + batch.node, batch.payload, m_replyPrefix + "n" + std::to_string(number));
    batch.payload.clear();
    batch.seqs.clear();
}

void CNatsCluster::OnBatchUnanswered(std::string_view number)
{
    // Nobody subscribes to that node's subject: it is gone, and the records
    // of the batch are kept here.
    uint64_t batch = 0;
    if (!ParseWhole(number, batch))
        return;
    KeepInFlight([batch](const CInFlight& sent) { return sent.batch == batch; });
}

void CNatsCluster::KeepInFlight(const std::function<bool(const CInFlight&)>& which)
{
    std::vector<CNetMessage> kept;
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        if (which(it->second)) {
            kept.push_back(it->second.Message());
            it = m_inFlight.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& msg : kept)
        m_listener.OnClusterUndelivered(msg);
}

void CNatsCluster::OnNodeRecords(std::string_view data)
{
    std::size_t lineEnd = data.find('\n');
    const auto head = Words(data.substr(0, lineEnd));
    if (head.empty())
        return;
    const auto prefix = std::make_shared<const std::string>(kReplyPrefix + head[0] + ".");
    while (lineEnd != std::string_view::npos && lineEnd + 1 < data.size()) {
        const std::size_t start = lineEnd + 1;
        const std::size_t end = data.find('\n', start);
        if (end == std::string_view::npos)
            return;
        // SEQ USER SIZE
        const std::string_view line = data.substr(start, end - start);
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        uint64_t seq = 0;
        std::size_t size = 0;
        if (second == std::string_view::npos || !ParseWhole(line.substr(0, first), seq) ||
            !ParseWhole(line.substr(second + 1), size) || size > data.size() - end - 1)
            return;
        const std::string user(line.substr(first + 1, second - first - 1));
        CNetMessage msg;
        const auto result = DecodeRecord(data.substr(end + 1, size), msg, kServerLimits);
        lineEnd = end + 1 + size;
        if (lineEnd >= data.size())
            lineEnd = std::string_view::npos;
        auto answer = [this, prefix, seq](CTakenAs taken) {
            if (taken == CTakenAs::Failed)
                return;
            char text[24];
            AnswerTo(*prefix, std::string_view(text, std::to_chars(text, text + sizeof text, seq).ptr - text),
                     taken == CTakenAs::Stored ? 'S' : 'D');
        };
        if (result.status == DecodeStatus::Complete)
            m_listener.OnClusterRecord(user, msg, answer);
        else
            answer(CTakenAs::Delivered);
    }
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
    AnswerTo(std::string_view(reply).substr(0, dot + 1), std::string_view(reply).substr(dot + 1), taken);
}

void CNatsCluster::AnswerTo(std::string_view prefix, std::string_view seq, char taken)
{
    auto entry = std::find_if(m_answers.begin(), m_answers.end(),
                              [&](const auto& answers) { return answers.first == prefix; });
    if (entry == m_answers.end())
        entry = m_answers.emplace(m_answers.end(), std::string(prefix), std::string());
    std::string& lines = entry->second;
    lines += taken;
    lines += ' ';
    lines += seq;
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

void CNatsCluster::OnAnswers(std::string_view lines)
{
    std::size_t start = 0;
    while (start + 2 < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string::npos)
            end = lines.size();
        OnReply(lines.substr(start + 2, end - start - 2), lines.substr(start, 1), false);
        start = end + 1;
    }
}

void CNatsCluster::OnReply(std::string_view seq, std::string_view data, bool noResponders)
{
    uint64_t id = 0;
    if (!ParseWhole(seq, id))
        return;
    const auto it = m_inFlight.find(id);
    if (it == m_inFlight.end())
        return;
    const CInFlight sent = std::move(it->second);
    m_inFlight.erase(it);
    if (noResponders) {
        CNetMessage msg = sent.Message();
        m_listener.OnClusterUndelivered(msg);
    } else if (sent.hasId) {
        // Only a receipt is left to send.
        CNetMessage msg = sent.Message();
        m_listener.OnClusterTaken(msg, data != "S");
    }
}
