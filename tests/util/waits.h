#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <chrono>

// Runs the event loop until `done()` holds or `timeout` passes; returns
// whether it holds. `done` is called once per turn, so it may take what it
// finds. Every wait of the tests goes through a time-out.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    const QDeadlineTimer deadline(timeout);
    for (;;) {
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

// Runs the event loop for `duration`.
inline void Spin(std::chrono::milliseconds duration)
{
    WaitUntil([] { return false; }, duration);
}
