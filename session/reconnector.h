#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

// The pauses between attempts to get a lost connection back: the first
// pause, doubled after each failed attempt up to the longest, each one moved
// by up to `spread` (a fraction) either way so that many clients that lost
// the same server do not return to it in step. Tests pass short pauses.
struct CReconnectTiming
{
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds longest{60000};
    double spread = 0.2;
};

// Counts down to the next attempt to reconnect. It only keeps the time: the
// session makes the attempt when Attempt comes and reports how it went
// (Failed schedules the next one, Stop ends the series). A QTimer, so the
// countdown runs on inside message boxes and modal dialogs too.
class CReconnector final : public QObject
{
    Q_OBJECT

public:
    explicit CReconnector(const CReconnectTiming& timing = {}, QObject* parent = nullptr);

    // Begins a series with the first pause (nothing when one runs already).
    void Start();
    // The attempt failed: the next one after a pause twice as long.
    void Failed();
    // The series ends: logged in again, or the user or the server said no.
    void Stop();
    // An attempt made by other means is under way: no timer until it ends
    // (Failed, Stop).
    void Pause() { m_timer.stop(); }

    // A series runs: waiting for the next attempt or making one.
    bool IsActive() const { return m_bActive; }
    int Attempts() const { return m_nAttempts; }
    // What is left of the pause before the next attempt; zero while one is made.
    std::chrono::milliseconds Remaining() const;

signals:
    // Time for the next attempt.
    void Attempt();
    // The next attempt is `delay` away.
    void Scheduled(std::chrono::milliseconds delay);

private:
    void Schedule();

    CReconnectTiming m_timing;
    QTimer m_timer;
    std::chrono::milliseconds m_base{0};
    int m_nAttempts = 0;
    bool m_bActive = false;
};
