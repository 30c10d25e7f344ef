#include "servicenotifier.h"

#include "serverlog.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

CServiceNotifier::CServiceNotifier(asio::io_context& io)
    : m_timer(io), m_enabled(std::getenv("NOTIFY_SOCKET") != nullptr)
{
}

void CServiceNotifier::Ready()
{
    if (!m_enabled)
        return;
    Notify("READY=1");
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    // Half the interval leaves a whole one for a ping to be late; at least a
    // millisecond, so that a tiny setting cannot make the loop spin.
    m_pingEvery = std::max(std::chrono::microseconds(usec / 2), std::chrono::microseconds(1000));
    ServerLog("service manager watchdog: a ping every " +
              std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(m_pingEvery).count()) +
              " ms");
    SchedulePing();
}

void CServiceNotifier::Stopping()
{
    if (m_enabled)
        Notify("STOPPING=1");
}

void CServiceNotifier::Notify(const char* state)
{
    const int result = sd_notify(0, state);
    // Said once: a socket that is gone stays gone, and the pings would
    // repeat it every few seconds.
    if (result < 0 && !m_failed) {
        m_failed = true;
        ServerLog(std::string("cannot tell the service manager ") + state + ": " + std::strerror(-result));
    }
}

void CServiceNotifier::SchedulePing()
{
    m_timer.expires_after(m_pingEvery);
    m_timer.async_wait([this](const asio::error_code& error) {
        if (error)
            return;
        Notify("WATCHDOG=1");
        SchedulePing();
    });
}
