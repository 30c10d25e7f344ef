#include "recordstream.h"

void CRecordStream::Append(std::string_view bytes)
{
    if (Broken())
        return;
    // Drop what earlier records used before the buffer grows again.
    if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
    m_buffer.append(bytes);
}

DecodeStatus CRecordStream::Next(CNetMessage& out)
{
    if (Broken())
        return m_broken;
    const std::string_view pending = std::string_view(m_buffer).substr(m_start);
    const DecodeResult r = DecodeRecord(pending, out, m_limits);
    switch (r.status) {
    case DecodeStatus::Complete:
        m_start += r.consumed;
        if (m_start == m_buffer.size()) {
            m_buffer.clear();
            m_start = 0;
        }
        break;
    case DecodeStatus::Incomplete:
        break;
    case DecodeStatus::Malformed:
    case DecodeStatus::TooLarge:
        m_broken = r.status;
        m_buffer.clear();
        m_buffer.shrink_to_fit();
        m_start = 0;
        break;
    }
    return r.status;
}
