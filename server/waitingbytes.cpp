#include "waitingbytes.h"

bool CWaitingBytes::Take(CStore& store, std::size_t bytes, std::size_t quota)
{
    if (quota == 0)
        return true;
    const std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (!m_bytes || (*m_bytes + bytes > quota && now - m_readAt >= m_recount)) {
        m_bytes = store.MessageUsage(m_name, m_of).bytes;
        m_readAt = now;
    }
    if (*m_bytes + bytes > quota)
        return false;
    *m_bytes += bytes;
    return true;
}
