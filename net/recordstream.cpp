#include "recordstream.h"

#include <algorithm>

namespace {

// A buffer larger than this is freed once empty rather than kept for reuse,
// so that one large record does not stay with an idle connection.
constexpr std::size_t kKeptCapacity = 4 * 1024;

} // namespace

void CRecordStream::Release()
{
    if (m_buffer.capacity() > kKeptCapacity)
        std::string().swap(m_buffer);
    else
        m_buffer.clear();
    m_start = 0;
}

void CRecordStream::Append(std::string_view bytes)
{
    if (m_broken)
        return;
    if (m_lending)
        Keep();
    // Drop what earlier records used before the buffer grows again.
    if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
    m_buffer.append(bytes);
}

void CRecordStream::Lend(std::string_view bytes)
{
    if (m_broken)
        return;
    if (m_lending)
        Keep();
    // Behind the start of a record the new bytes must join it.
    if (Buffered() > 0) {
        Append(bytes);
        return;
    }
    Release();
    m_lent = bytes;
    m_lending = true;
}

void CRecordStream::Keep()
{
    if (m_lending) {
        const std::string_view rest = m_lent.substr(m_start);
        m_lending = false;
        m_lent = {};
        m_start = 0;
        m_buffer.assign(rest);
        return;
    }
    m_buffer.erase(0, m_start);
    m_start = 0;
    if (m_buffer.empty())
        Release();
    else if (m_buffer.capacity() > kKeptCapacity && m_buffer.capacity() > 2 * m_buffer.size())
        m_buffer.shrink_to_fit();
}

DecodeStatus CRecordStream::Next(CNetMessage& out)
{
    if (m_broken)
        return DecodeStatus::TooLarge;
    const DecodeResult r = DecodeRecord(Pending(), out, m_limits);
    switch (r.status) {
    case DecodeStatus::Complete:
        Discard(r.consumed);
        break;
    case DecodeStatus::Incomplete:
        break;
    case DecodeStatus::TooLarge:
        m_broken = true;
        m_lending = false;
        m_lent = {};
        std::string().swap(m_buffer);
        m_start = 0;
        break;
    }
    return r.status;
}

void CRecordStream::Discard(std::size_t n)
{
    m_start += std::min(n, Buffered());
    if (!m_lending && m_start == m_buffer.size())
        Release();
}
