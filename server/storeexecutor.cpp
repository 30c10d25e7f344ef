#include "storeexecutor.h"

#include "store/store.h"

#include <asio/post.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// A group this large is committed even while more work waits.
constexpr std::size_t kGroupSize = 4096;

enum RequestState : int { kQueued, kRunning, kEnded, kCancelled };

std::string Seconds(std::chrono::milliseconds d)
{
    if (d.count() % 1000 == 0)
        return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

} // namespace

struct CStoreExecutor::CRequest
{
    Work work;     // the lane's, until it ran
    Failed failed; // the loop's
    bool group = false;
    CLane* lane = nullptr;
    Clock::time_point deadline;
    std::atomic<int> state{kQueued};
    bool answered = false; // the loop's
};

struct CStoreExecutor::CLane
{
    std::unique_ptr<CStore> store;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<CRequest>> queue;
    // The request the lane runs now: the loop interrupts the store only
    // while the late request itself runs, never the one after it.
    const CRequest* running = nullptr;
    bool stopping = false;
    std::thread thread;
    // Requests not yet answered, oldest first (so their deadlines are in
    // order too); the loop's only.
    std::deque<std::shared_ptr<CRequest>> outstanding;
};

CStoreExecutor::CStoreExecutor(asio::io_context& io, std::vector<std::unique_ptr<CStore>> stores,
                               std::chrono::milliseconds timeout)
    : m_io(io), m_timeout(timeout), m_timer(io)
{
    for (auto& store : stores) {
        auto lane = std::make_unique<CLane>();
        lane->store = std::move(store);
        m_lanes.push_back(std::move(lane));
    }
    for (auto& lane : m_lanes)
        lane->thread = std::thread([this, raw = lane.get()] { Serve(*raw); });
}

CStoreExecutor::~CStoreExecutor()
{
    Stop();
}

CStore& CStoreExecutor::FirstStore()
{
    return *m_lanes.front()->store;
}

void CStoreExecutor::Stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    for (auto& lane : m_lanes) {
        {
            std::lock_guard lock(lane->mutex);
            lane->stopping = true;
        }
        lane->wake.notify_one();
    }
    for (auto& lane : m_lanes)
        lane->thread.join();
    asio::error_code ignored;
    m_timer.cancel();
}

void CStoreExecutor::Submit(std::size_t key, bool group, Work work, Failed failed)
{
    auto request = std::make_shared<CRequest>();
    request->work = std::move(work);
    request->failed = std::move(failed);
    request->group = group;
    request->lane = m_lanes[key % m_lanes.size()].get();
    request->deadline = Clock::now() + m_timeout;
    CLane& lane = *request->lane;
    lane.outstanding.push_back(request);
    bool wasIdle = false;
    {
        std::lock_guard lock(lane.mutex);
        wasIdle = lane.queue.empty();
        lane.queue.push_back(std::move(request));
    }
    if (wasIdle)
        lane.wake.notify_one();
    ArmTimer();
}

// What a lane holds between the requests it runs: those of the pending
// group, waiting for its commit, and the results ready for the loop.
struct CStoreExecutor::CServing
{
    struct CGrouped
    {
        std::shared_ptr<CRequest> request;
        CUniqueFunction<void()> done;
    };
    std::vector<CGrouped> group; // ran, waiting for their commit
    Clock::time_point groupStart;
    Continuations ready;
};

void CStoreExecutor::Serve(CLane& lane)
{
    CServing serving;
    for (;;) {
        std::deque<std::shared_ptr<CRequest>> batch;
        {
            std::unique_lock lock(lane.mutex);
            lane.wake.wait(lock, [&] { return lane.stopping || !lane.queue.empty(); });
            if (lane.queue.empty())
                break; // stopping, and nothing left
            batch.swap(lane.queue);
        }
        for (auto& request : batch)
            RunRequest(lane, serving, request);
        bool idle = false;
        {
            std::lock_guard lock(lane.mutex);
            idle = lane.queue.empty();
        }
        if (idle)
            CommitGroup(lane, serving);
        if (!serving.ready.empty()) {
            Post(std::move(serving.ready));
            serving.ready.clear();
        }
    }
    CommitGroup(lane, serving);
    if (!serving.ready.empty())
        Post(std::move(serving.ready));
}

void CStoreExecutor::RunRequest(CLane& lane, CServing& serving, std::shared_ptr<CRequest>& request)
{
    // Anything but a group write follows the group's commit.
    if (!request->group)
        CommitGroup(lane, serving);
    int expected = kQueued;
    if (!request->state.compare_exchange_strong(expected, kRunning))
        return; // timed out on the loop already
    const auto running = [&lane](const CRequest* now) {
        std::lock_guard lock(lane.mutex);
        lane.running = now;
    };
    running(request.get());
    try {
        CUniqueFunction<void()> done = request->work(*lane.store);
        running(nullptr);
        request->work = Work();
        request->state = kEnded;
        if (request->group) {
            if (serving.group.empty())
                serving.groupStart = Clock::now();
            serving.group.push_back(CServing::CGrouped{std::move(request), std::move(done)});
        } else {
            serving.ready.push_back(Finish(std::move(request), std::move(done)));
        }
    } catch (const std::exception& error) {
        running(nullptr);
        request->work = Work();
        request->state = kEnded;
        serving.ready.push_back(Fail(std::move(request), error.what()));
    }
    if (serving.group.size() >= kGroupSize ||
        (!serving.group.empty() && Clock::now() - serving.groupStart >= kGroupAge))
        CommitGroup(lane, serving);
}

void CStoreExecutor::CommitGroup(CLane& lane, CServing& serving)
{
    CStore& store = *lane.store;
    if (serving.group.empty() && !store.HasPending())
        return;
    std::string error;
    try {
        const auto start = Clock::now();
        store.CommitPending();
        m_commitTimes.Note(Clock::now() - start);
    } catch (const std::exception& e) {
        error = e.what();
    }
    for (auto& entry : serving.group)
        serving.ready.push_back(error.empty() ? Finish(std::move(entry.request), std::move(entry.done))
                                              : Fail(std::move(entry.request), error));
    serving.group.clear();
}

void CStoreExecutor::Post(Continuations ready)
{
    asio::post(m_io, [ready = std::move(ready)]() mutable {
        for (auto& done : ready)
            done();
    });
}

CUniqueFunction<void()> CStoreExecutor::Finish(std::shared_ptr<CRequest> request, CUniqueFunction<void()> done)
{
    return [this, request = std::move(request), done = std::move(done)]() mutable {
        if (request->answered)
            return;
        request->answered = true;
        Answered(*request->lane);
        done();
    };
}

CUniqueFunction<void()> CStoreExecutor::Fail(std::shared_ptr<CRequest> request, std::string reason)
{
    return [this, request = std::move(request), reason = std::move(reason)]() mutable {
        if (request->answered)
            return;
        request->answered = true;
        Answered(*request->lane);
        request->failed(reason);
    };
}

void CStoreExecutor::Answered(CLane& lane)
{
    while (!lane.outstanding.empty() && lane.outstanding.front()->answered)
        lane.outstanding.pop_front();
}

void CStoreExecutor::ArmTimer()
{
    if (m_timerArmed || m_stopped)
        return;
    std::optional<Clock::time_point> first;
    for (const auto& lane : m_lanes)
        if (!lane->outstanding.empty() && (!first || lane->outstanding.front()->deadline < *first))
            first = lane->outstanding.front()->deadline;
    if (!first)
        return;
    m_timerArmed = true;
    m_timer.expires_at(*first);
    m_timer.async_wait([this](const asio::error_code& error) {
        m_timerArmed = false;
        if (!error)
            OnTimer();
    });
}

void CStoreExecutor::OnTimer()
{
    const auto now = Clock::now();
    std::vector<std::shared_ptr<CRequest>> late;
    for (const auto& lane : m_lanes) {
        Answered(*lane);
        while (!lane->outstanding.empty() && lane->outstanding.front()->deadline <= now) {
            auto request = std::move(lane->outstanding.front());
            lane->outstanding.pop_front();
            if (!request->answered)
                late.push_back(std::move(request));
        }
    }
    const std::string reason = "no answer from the database within " + Seconds(m_timeout);
    for (auto& request : late) {
        request->answered = true;
        int expected = kQueued;
        if (!request->state.compare_exchange_strong(expected, kCancelled) && expected == kRunning) {
            CLane& lane = *request->lane;
            std::lock_guard lock(lane.mutex);
            if (lane.running == request.get())
                lane.store->Interrupt();
        }
    }
    // The failures run last: they may submit new requests.
    for (auto& request : late)
        request->failed(reason);
    ArmTimer();
}
