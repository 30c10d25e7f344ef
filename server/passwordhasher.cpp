#include "passwordhasher.h"

#include "loopturn.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <sodium.h>

#include <stdexcept>

namespace {

void Wipe(std::string& secret)
{
    if (!secret.empty())
        sodium_memzero(secret.data(), secret.size());
    secret.clear();
}

} // namespace

CPasswordHasher::CPasswordHasher(asio::io_context& loop, Cost cost, unsigned threads) : m_loop(loop)
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
    if (cost == Cost::Interactive) {
        m_opsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
        m_memLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    } else {
        m_opsLimit = crypto_pwhash_OPSLIMIT_MIN;
        m_memLimit = crypto_pwhash_MEMLIMIT_MIN;
    }
    unsigned char random[16];
    randombytes_buf(random, sizeof random);
    auto dummy = HashNow(std::string(reinterpret_cast<const char*>(random), sizeof random));
    sodium_memzero(random, sizeof random);
    if (!dummy)
        throw std::runtime_error("password hashing fails (out of memory?)");
    m_dummyHash = std::move(*dummy);
    for (unsigned i = 0; i < (threads == 0 ? 1 : threads); ++i)
        m_workers.emplace_back([this] { Work(); });
}

CPasswordHasher::~CPasswordHasher()
{
    Stop();
}

void CPasswordHasher::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (auto& worker : m_workers)
        if (worker.joinable())
            worker.join();
    // Dropped outside the lock: the jobs hold the sessions that wait.
    decltype(m_queues) dropped;
    {
        std::lock_guard lock(m_mutex);
        dropped.swap(m_queues);
        m_turns.clear();
        m_waiting = 0;
    }
}

std::size_t CPasswordHasher::Waiting() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting;
}

void CPasswordHasher::LimitStarts(std::optional<std::size_t> starts)
{
    {
        std::lock_guard lock(m_mutex);
        m_starts = starts;
    }
    m_wake.notify_all();
}

bool CPasswordHasher::HasRoom(const std::string& source, std::size_t bound) const
{
    if (bound == 0)
        return true;
    std::lock_guard lock(m_mutex);
    if (m_stopping)
        return false;
    const auto it = m_queues.find(source);
    return it == m_queues.end() || it->second.size() < bound;
}

void CPasswordHasher::Enqueue(const std::string& source, std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        auto& queue = m_queues[source];
        if (queue.empty())
            m_turns.push_back(source);
        queue.push_back(std::move(job));
        ++m_waiting;
    }
    m_wake.notify_one();
}

void CPasswordHasher::Work()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock,
                        [this] { return m_stopping || (!m_turns.empty() && (!m_starts || *m_starts > 0)); });
            if (m_stopping)
                return;
            // One request of the source whose turn it is; the source goes to
            // the back of the line while it has more.
            std::string source = std::move(m_turns.front());
            m_turns.pop_front();
            const auto it = m_queues.find(source);
            job = std::move(it->second.front());
            it->second.pop_front();
            if (it->second.empty())
                m_queues.erase(it);
            else
                m_turns.push_back(std::move(source));
            --m_waiting;
            if (m_starts)
                --*m_starts;
        }
        job();
    }
}

std::optional<std::string> CPasswordHasher::HashNow(const std::string& password) const
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), m_opsLimit, m_memLimit) != 0)
        return std::nullopt;
    return std::string(out);
}

bool CPasswordHasher::VerifyNow(const std::string& hash, const std::string& password)
{
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

void CPasswordHasher::Deliver(const std::string& source, const char* what, std::function<void()> result)
{
    asio::post(m_loop, [source, what, result = std::move(result)] {
        const CLoopTurn turn([&] { return std::string(what) + " for " + source; });
        result();
    });
}

// Each job holds a work guard, which keeps the loop running until its result
// is posted.
bool CPasswordHasher::Hash(const std::string& source, std::size_t bound, std::string password,
                           std::function<void(std::optional<std::string>)> done)
{
    if (!HasRoom(source, bound)) {
        Wipe(password);
        return false;
    }
    Enqueue(source, [this, work = asio::make_work_guard(m_loop), source, password = std::move(password),
                     done = std::move(done)]() mutable {
        auto hash = HashNow(password);
        Wipe(password);
        ++m_completed;
        Deliver(source, "password hash", [done = std::move(done), hash = std::move(hash)]() { done(hash); });
    });
    return true;
}

bool CPasswordHasher::Verify(const std::string& source, std::size_t bound, std::string hash,
                             std::string password, std::function<void(bool)> done)
{
    if (!HasRoom(source, bound)) {
        Wipe(password);
        return false;
    }
    Enqueue(source, [this, work = asio::make_work_guard(m_loop), source, hash = std::move(hash),
                     password = std::move(password), done = std::move(done)]() mutable {
        const bool ok = VerifyNow(hash, password);
        Wipe(password);
        ++m_completed;
        Deliver(source, "password check", [done = std::move(done), ok]() { done(ok); });
    });
    return true;
}

bool CPasswordHasher::Rehash(const std::string& source, std::size_t bound, std::string hash,
                             std::string oldPassword, std::string newPassword,
                             std::function<void(std::optional<std::string>)> done)
{
    if (!HasRoom(source, bound)) {
        Wipe(oldPassword);
        Wipe(newPassword);
        return false;
    }
    Enqueue(source, [this, work = asio::make_work_guard(m_loop), source, hash = std::move(hash),
                     oldPassword = std::move(oldPassword), newPassword = std::move(newPassword),
                     done = std::move(done)]() mutable {
        std::optional<std::string> result;
        if (VerifyNow(hash, oldPassword))
            result = HashNow(newPassword);
        Wipe(oldPassword);
        Wipe(newPassword);
        ++m_completed;
        Deliver(source, "password change",
                [done = std::move(done), result = std::move(result)]() { done(result); });
    });
    return true;
}
