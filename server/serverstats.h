#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// How long the store's commits take. The lanes note each commit on their own
// threads; the loop reads the figures.
class CCommitTimes
{
public:
    using Clock = std::chrono::steady_clock;
    // The upper bounds of the histogram's buckets, in seconds; a last one
    // without bound follows.
    static constexpr std::array<double, 12> kBounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                    0.05,   0.1,   0.25,   0.5,   1.0,  2.5};

    struct CSnapshot
    {
        std::array<uint64_t, kBounds.size() + 1> buckets{}; // not cumulative
        uint64_t count = 0;
        double sum = 0; // seconds
        double p99 = 0; // seconds, over the last kRecent commits
    };

    void Note(Clock::duration length);
    CSnapshot Snapshot() const;

private:
    static constexpr std::size_t kRecent = 1024;
    mutable std::mutex m_mutex;
    CSnapshot m_totals;
    std::vector<double> m_recent; // a ring once full
    std::size_t m_next = 0;
};

// What one node did since it started, for `murmurlyctl stats` and the
// metrics; the loop's own (the commit times are the store executor's).
class CServerStats
{
public:
    using Clock = std::chrono::steady_clock;

    explicit CServerStats(asio::io_context& io);
    CServerStats(const CServerStats&) = delete;
    CServerStats& operator=(const CServerStats&) = delete;

    uint64_t delivered = 0; // messages handed to a recipient's connection
    uint64_t stored = 0;    // messages kept for a recipient offline
    uint64_t loginsSucceeded = 0;
    uint64_t loginsFailed = 0;

    Clock::duration Uptime() const { return Clock::now() - m_started; }
    // How late the loop ran a timer that was due, at the last check.
    Clock::duration LoopLag() const { return m_lag; }

private:
    void ArmLagTimer();

    Clock::time_point m_started = Clock::now();
    asio::steady_timer m_lagTimer;
    Clock::duration m_lag{};
};

// The longest turn the loop of this thread took in the last minute (see
// CLoopTurn).
std::chrono::steady_clock::duration LongestLoopTurn();
// Called by CLoopTurn for every turn it measured.
void NoteLoopTurn(std::chrono::steady_clock::duration length);
