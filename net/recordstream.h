#pragma once

#include "wire.h"

#include <cstddef>
#include <string>
#include <string_view>

// Bytes as they arrive from a socket, cut into records. Feed whatever a read
// returned with Append, then call Next until it stops returning Complete.
// A TooLarge or Malformed status is final: the stream cannot be resynchronised
// (there is no framing), so the connection must be dropped.
class CRecordStream
{
public:
    explicit CRecordStream(const DecodeLimits& limits) : m_limits(limits) {}

    void Append(std::string_view bytes);
    DecodeStatus Next(CNetMessage& out);

    // Bytes received but not yet part of a decoded record.
    std::size_t Buffered() const { return m_buffer.size() - m_start; }
    bool Broken() const { return m_broken != DecodeStatus::Complete; }

private:
    DecodeLimits m_limits;
    std::string m_buffer;
    std::size_t m_start = 0;
    DecodeStatus m_broken = DecodeStatus::Complete;
};
