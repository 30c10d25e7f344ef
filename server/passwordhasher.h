#pragma once

#include <asio/io_context.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// Argon2id hashing (libsodium's crypto_pwhash_str) on a small pool of worker
// threads. Hashing is slow on purpose, so it never runs on the event loop:
// each request runs on a worker and its result is posted back to `loop`, where
// the callback runs. Passwords are wiped from memory once used.
//
// Every request names its source (the peer's address). Each source has its
// own queue and the workers serve the sources in turn, one request each, so
// a flood from some addresses waits mostly behind itself and another
// address's login is served within a round. A request made with a bound is
// refused (false, and the callback never runs) when its source already has
// that many waiting.
class CPasswordHasher
{
public:
    enum class Cost {
        Interactive, // libsodium's INTERACTIVE limits: what the server uses
        Minimum,     // the cheapest allowed: for the test suite only
    };

    CPasswordHasher(asio::io_context& loop, Cost cost, unsigned threads = 2);
    ~CPasswordHasher();
    CPasswordHasher(const CPasswordHasher&) = delete;
    CPasswordHasher& operator=(const CPasswordHasher&) = delete;

    // `bound` 0: no bound. Call these from the loop thread only.
    // The callback gets the encoded hash, or nullopt when hashing failed
    // (out of memory).
    bool Hash(const std::string& source, std::size_t bound, std::string password,
              std::function<void(std::optional<std::string>)> done);
    bool Verify(const std::string& source, std::size_t bound, std::string hash, std::string password,
                std::function<void(bool)> done);
    // Checks `oldPassword` against `hash` and, when it matches, hashes
    // `newPassword`: nullopt when the old one is wrong (or hashing failed).
    bool Rehash(const std::string& source, std::size_t bound, std::string hash, std::string oldPassword,
                std::string newPassword, std::function<void(std::optional<std::string>)> done);

    // The hash of a random password at this hasher's cost: checking a
    // password against it takes as long as checking a real one.
    const std::string& DummyHash() const { return m_dummyHash; }

    // Waits for running jobs; waiting ones are dropped, later results too.
    void Stop();

    // Synchronous forms, for the workers and for tests.
    std::optional<std::string> HashNow(const std::string& password) const;
    static bool VerifyNow(const std::string& hash, const std::string& password);

    // For tests: how many requests have run, and how many wait. With a
    // value, LimitStarts lets the workers start only that many more
    // requests (so a test can see in which order they are taken); nullopt
    // lifts the limit.
    unsigned long long Completed() const { return m_completed; }
    std::size_t Waiting() const;
    void LimitStarts(std::optional<std::size_t> starts);

private:
    bool HasRoom(const std::string& source, std::size_t bound) const;
    void Enqueue(const std::string& source, std::function<void()> job);
    void Work();
    // Runs a job's `result` on the loop, measured as one turn of it.
    void Deliver(const std::string& source, const char* what, std::function<void()> result);

    asio::io_context& m_loop;
    unsigned long long m_opsLimit;
    std::size_t m_memLimit;
    std::string m_dummyHash;
    std::atomic<unsigned long long> m_completed{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unordered_map<std::string, std::deque<std::function<void()>>> m_queues;
    std::deque<std::string> m_turns; // sources with waiting requests, next first
    std::size_t m_waiting = 0;
    std::optional<std::size_t> m_starts;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};
