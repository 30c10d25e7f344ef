#include "passwordhasher.h"

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

CPasswordHasher::CPasswordHasher(asio::io_context& loop, Cost cost, unsigned threads)
    : m_loop(loop), m_pool(threads == 0 ? 1 : threads)
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
}

CPasswordHasher::~CPasswordHasher()
{
    Stop();
}

void CPasswordHasher::Stop()
{
    m_pool.join();
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

void CPasswordHasher::Hash(std::string password, std::function<void(std::optional<std::string>)> done)
{
    // The work guard keeps the loop running until the result is posted.
    asio::post(m_pool, [this, work = asio::make_work_guard(m_loop), password = std::move(password),
                        done = std::move(done)]() mutable {
        auto hash = HashNow(password);
        Wipe(password);
        asio::post(m_loop, [done = std::move(done), hash = std::move(hash)]() { done(hash); });
    });
}

void CPasswordHasher::Verify(std::string hash, std::string password, std::function<void(bool)> done)
{
    asio::post(m_pool, [this, work = asio::make_work_guard(m_loop), hash = std::move(hash),
                        password = std::move(password), done = std::move(done)]() mutable {
        const bool ok = VerifyNow(hash, password);
        Wipe(password);
        asio::post(m_loop, [done = std::move(done), ok]() { done(ok); });
    });
}

void CPasswordHasher::Rehash(std::string hash, std::string oldPassword, std::string newPassword,
                             std::function<void(std::optional<std::string>)> done)
{
    asio::post(m_pool, [this, work = asio::make_work_guard(m_loop), hash = std::move(hash),
                        oldPassword = std::move(oldPassword), newPassword = std::move(newPassword),
                        done = std::move(done)]() mutable {
        std::optional<std::string> result;
        if (VerifyNow(hash, oldPassword))
            result = HashNow(newPassword);
        Wipe(oldPassword);
        Wipe(newPassword);
        asio::post(m_loop, [done = std::move(done), result = std::move(result)]() { done(result); });
    });
}
