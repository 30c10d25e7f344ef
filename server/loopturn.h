#pragma once

#include <chrono>
#include <string>
#include <utility>

// A handler that holds the loop longer than this holds every user of the node
// as long: worth a line in the log.
inline constexpr std::chrono::milliseconds kSlowLoopTurn{100};

// Writes "slow loop turn of N ms: WHAT" as one line, whatever WHAT holds.
void LogSlowLoopTurn(std::chrono::steady_clock::duration length, const std::string& what);

// Keeps the turn for the longest of the last minute (serverstats.h).
void NoteLoopTurn(std::chrono::steady_clock::duration length);

// Whether a handler is being measured on this thread.
inline thread_local bool t_loopTurnMeasured = false;

// Measures a handler that the loop runs, from construction to destruction,
// and logs it once it took longer than kSlowLoopTurn. `describe` says what
// ran; it is called only for a slow turn, so it may build strings, while a
// fast one costs a clock read at each end. A handler called from inside a
// measured one is part of that turn and is not measured again, so a turn
// gives one line at most.
template <typename TDescribe, typename TClock = std::chrono::steady_clock> class CLoopTurn
{
public:
    explicit CLoopTurn(TDescribe describe) : m_describe(std::move(describe)), m_outer(!t_loopTurnMeasured)
    {
        if (!m_outer)
            return;
        t_loopTurnMeasured = true;
        m_start = TClock::now();
    }
    ~CLoopTurn()
    {
        if (!m_outer)
            return;
        t_loopTurnMeasured = false;
        const auto length = TClock::now() - m_start;
        NoteLoopTurn(std::chrono::duration_cast<std::chrono::steady_clock::duration>(length));
        if (length <= kSlowLoopTurn)
            return;
        try {
            LogSlowLoopTurn(length, m_describe());
        } catch (...) {
            // Out of memory for the line: the turn goes unreported.
        }
    }
    CLoopTurn(const CLoopTurn&) = delete;
    CLoopTurn& operator=(const CLoopTurn&) = delete;

private:
    TDescribe m_describe;
    bool m_outer;
    typename TClock::time_point m_start{};
};
