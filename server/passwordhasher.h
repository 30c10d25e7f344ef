#pragma once

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include <functional>
#include <optional>
#include <string>

// Argon2id hashing (libsodium's crypto_pwhash_str) on a small pool of worker
// threads. Hashing is slow on purpose, so it never runs on the event loop:
// each request runs on a worker and its result is posted back to `loop`, where
// the callback runs. Passwords are wiped from memory once used.
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

    // The callback gets the encoded hash, or nullopt when hashing failed
    // (out of memory).
    void Hash(std::string password, std::function<void(std::optional<std::string>)> done);
    void Verify(std::string hash, std::string password, std::function<void(bool)> done);
    // Checks `oldPassword` against `hash` and, when it matches, hashes
    // `newPassword`: nullopt when the old one is wrong (or hashing failed).
    void Rehash(std::string hash, std::string oldPassword, std::string newPassword,
                std::function<void(std::optional<std::string>)> done);

    // Waits for running jobs; later results are dropped.
    void Stop();

    // Synchronous forms, for the workers and for tests.
    std::optional<std::string> HashNow(const std::string& password) const;
    static bool VerifyNow(const std::string& hash, const std::string& password);

private:
    asio::io_context& m_loop;
    asio::thread_pool m_pool;
    unsigned long long m_opsLimit;
    std::size_t m_memLimit;
};
