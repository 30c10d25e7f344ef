#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>

// Tells systemd, when it runs the server as a unit of Type=notify, how the
// node is doing: READY=1 once it listens, then WATCHDOG=1 at half the unit's
// WatchdogSec from a timer on the loop. A loop that stalls stops the pings,
// and systemd restarts the node rather than let it hang on. Outside systemd
// (no NOTIFY_SOCKET) nothing is sent and no timer runs.
class CServiceNotifier
{
public:
    explicit CServiceNotifier(asio::io_context& io);
    CServiceNotifier(const CServiceNotifier&) = delete;
    CServiceNotifier& operator=(const CServiceNotifier&) = delete;

    // The server listens: READY=1, and the pings start if systemd wants them.
    void Ready();
    // A clean shutdown has begun: STOPPING=1. The pings go on until the loop
    // ends, since telling the clients may take a few seconds.
    void Stopping();

private:
    void Notify(const char* state);
    void SchedulePing();

    asio::steady_timer m_timer;
    bool m_enabled;
    bool m_failed = false;
    std::chrono::microseconds m_pingEvery{0};
};
