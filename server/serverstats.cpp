#include "serverstats.h"

#include <algorithm>

namespace {

// How often the loop's lag is sampled.
constexpr auto kLagInterval = std::chrono::milliseconds(500);

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The longest turn of each of the last 60 seconds, so that a turn drops out
// of the figure a minute after it ran without any timer.
struct CTurnWindow
{
    std::array<std::chrono::steady_clock::duration, 60> longest{};
    std::array<int64_t, 60> second{};
};

// One loop per thread; the server reads its figure on the loop's thread.
thread_local CTurnWindow t_turns;

int64_t SecondNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void CCommitTimes::Note(Clock::duration length)
{
    const double seconds = Seconds(length);
    const std::lock_guard lock(m_mutex);
    const auto bucket = std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin();
    ++m_totals.buckets[static_cast<std::size_t>(bucket)];
    ++m_totals.count;
    m_totals.sum += seconds;
    if (m_recent.size() < kRecent) {
        m_recent.push_back(seconds);
    } else {
        m_recent[m_next] = seconds;
        m_next = (m_next + 1) % kRecent;
    }
}

CCommitTimes::CSnapshot CCommitTimes::Snapshot() const
{
    std::vector<double> recent;
    CSnapshot snapshot;
    {
        const std::lock_guard lock(m_mutex);
        snapshot = m_totals;
        recent = m_recent;
    }
    if (!recent.empty()) {
        const std::size_t rank = (recent.size() * 99 + 99) / 100 - 1;
        std::nth_element(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(rank), recent.end());
        snapshot.p99 = recent[rank];
    }
    return snapshot;
}

CServerStats::CServerStats(asio::io_context& io) : m_lagTimer(io)
{
    ArmLagTimer();
}

void CServerStats::ArmLagTimer()
{
    const auto due = Clock::now() + kLagInterval;
    m_lagTimer.expires_at(due);
    m_lagTimer.async_wait([this, due](const asio::error_code& error) {
        if (error)
            return;
        m_lag = std::max(Clock::duration::zero(), Clock::now() - due);
        ArmLagTimer();
    });
}

void NoteLoopTurn(std::chrono::steady_clock::duration length)
{
    const int64_t now = SecondNow();
    const auto slot = static_cast<std::size_t>(now % 60);
    if (t_turns.second[slot] != now) {
        t_turns.second[slot] = now;
        t_turns.longest[slot] = length;
    } else if (length > t_turns.longest[slot]) {
        t_turns.longest[slot] = length;
    }
}

std::chrono::steady_clock::duration LongestLoopTurn()
{
    const int64_t now = SecondNow();
    std::chrono::steady_clock::duration longest{};
    for (std::size_t i = 0; i < 60; ++i)
        if (now - t_turns.second[i] < 60)
            longest = std::max(longest, t_turns.longest[i]);
    return longest;
}
