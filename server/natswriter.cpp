#include "natswriter.h"

#include "serverlog.h"

#include <nats/nats.h>

namespace {

// How long a subscription given up may still take messages.
constexpr int64_t kDrainTime = 5000;

} // namespace

CNatsWriter::CNatsWriter(natsConnection* conn, Handler handler, void* closure, std::string broadcast,
                         std::string heartbeat, std::chrono::milliseconds interval)
    : m_conn(conn), m_handler(handler), m_closure(closure), m_broadcast(std::move(broadcast)),
      m_heartbeat(std::move(heartbeat)), m_interval(interval), m_thread([this] { Run(); })
{
}

CNatsWriter::~CNatsWriter()
{
    Stop();
    for (auto& [subject, sub] : m_subs)
        natsSubscription_Destroy(sub);
    for (auto* sub : m_draining)
        natsSubscription_Destroy(sub);
}

void CNatsWriter::Publish(std::string subject, std::string data, std::string reply)
{
    Queue({CKind::Publish, std::move(subject), std::move(data), std::move(reply)});
}

void CNatsWriter::Subscribe(std::string subject)
{
    Queue({CKind::Subscribe, std::move(subject), {}, {}});
}

void CNatsWriter::Unsubscribe(std::string subject)
{
    Queue({CKind::Unsubscribe, std::move(subject), {}, {}});
}

void CNatsWriter::Finish(std::string subject, std::string data)
{
    std::lock_guard lock(m_mutex);
    if (m_finishing)
        return;
    m_queue.push_back({CKind::Publish, std::move(subject), std::move(data), {}});
    m_finishing = true;
    m_wake.notify_one();
}

void CNatsWriter::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
        m_wake.notify_one();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void CNatsWriter::Queue(COp op)
{
    std::lock_guard lock(m_mutex);
    if (m_finishing)
        return;
    // The thread takes the whole queue each time it wakes: it needs waking
    // only for the first of a burst.
    const bool wake = m_queue.empty();
    m_queue.push_back(std::move(op));
    if (wake)
        m_wake.notify_one();
}

void CNatsWriter::Run()
{
    using Clock = std::chrono::steady_clock;
    auto nextBeat = Clock::now();
    std::deque<COp> batch;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait_until(lock, nextBeat, [this] { return !m_queue.empty() || m_finishing; });
        batch.swap(m_queue);
        const bool finishing = m_finishing;
        lock.unlock();
        for (const auto& op : batch)
            Write(op);
        batch.clear();
        if (finishing) {
            natsConnection_FlushTimeout(m_conn, 1000);
            return;
        }
        if (Clock::now() >= nextBeat) {
            Send(m_broadcast, m_heartbeat, {});
            nextBeat = Clock::now() + m_interval;
            SweepDrained();
        }
        lock.lock();
    }
}

void CNatsWriter::Write(const COp& op)
{
    if (op.kind == CKind::Publish) {
        Send(op.subject, op.data, op.reply);
    } else if (op.kind == CKind::Subscribe) {
        if (m_subs.count(op.subject))
            return;
        natsSubscription* sub = nullptr;
        const natsStatus status =
            natsConnection_Subscribe(&sub, m_conn, op.subject.c_str(), m_handler, m_closure);
        if (status != NATS_OK) {
            ServerLog("cluster: cannot subscribe to " + op.subject + ": " + natsStatus_GetText(status));
            return;
        }
        // A busy node must not drop what it is sent: the bounds only guard
        // against a loop that stopped.
        natsSubscription_SetPendingLimits(sub, 1'000'000, 512 << 20);
        m_subs.emplace(op.subject, sub);
    } else {
        const auto it = m_subs.find(op.subject);
        if (it == m_subs.end())
            return;
        // Drained, not dropped: a record the NATS server sent before it had
        // the end of the subscription still reaches the node, which keeps it
        // for the user who left and says so, rather than the sender waiting
        // for an answer that never comes.
        if (natsSubscription_DrainTimeout(it->second, kDrainTime) == NATS_OK) {
            m_draining.push_back(it->second);
        } else {
            natsSubscription_Unsubscribe(it->second);
            natsSubscription_Destroy(it->second);
        }
        m_subs.erase(it);
    }
}

void CNatsWriter::SweepDrained()
{
    for (auto it = m_draining.begin(); it != m_draining.end();) {
        if (natsSubscription_DrainCompletionStatus(*it) != NATS_ILLEGAL_STATE) {
            natsSubscription_Destroy(*it);
            it = m_draining.erase(it);
        } else {
            ++it;
        }
    }
}

void CNatsWriter::Send(const std::string& subject, const std::string& data, const std::string& reply)
{
    const int size = static_cast<int>(data.size());
    const natsStatus status =
        reply.empty()
            ? natsConnection_Publish(m_conn, subject.c_str(), data.data(), size)
            : natsConnection_PublishRequest(m_conn, subject.c_str(), reply.c_str(), data.data(), size);
    if (status != NATS_OK)
        ServerLog("cluster: cannot publish on " + subject + ": " + natsStatus_GetText(status));
}
