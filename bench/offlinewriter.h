#pragma once

#include "benchclient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A logged-in user who keeps sending offline messages, each with an id, to
// accounts that never log in, on a thread of its own: `window` messages at a
// time, the next ones once the server has answered all of them. Until
// `count` were sent, or until Stop when `count` is 0. What it throws ends the
// writing and comes out of Stop.
class COfflineWriter
{
public:
    COfflineWriter(uint16_t port, std::string name, std::vector<std::string> sinks, int window,
                   int count = 0);
    ~COfflineWriter();
    COfflineWriter(const COfflineWriter&) = delete;
    COfflineWriter& operator=(const COfflineWriter&) = delete;

    // Answers so far: kept in the store, and refused ("F").
    long Stored() const { return m_stored; }
    long Refused() const { return m_refused; }
    // From the first message sent to the last answer, once the writing ended.
    double Seconds() const { return m_seconds; }
    // Ends the writing once the messages under way are answered; waits for
    // it, and throws what the writer met.
    void Stop();
    // Waits until `count` messages were sent and answered; throws what the
    // writer met.
    void Wait();

private:
    void Write();

    std::unique_ptr<CBenchClient> m_client;
    std::string m_name;
    std::vector<std::string> m_sinks;
    int m_window;
    int m_count;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_stored{0};
    std::atomic<long> m_refused{0};
    std::atomic<double> m_seconds{0};
    std::exception_ptr m_error;
    std::thread m_thread;
};
