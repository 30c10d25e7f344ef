// Feeds arbitrary bytes, cut into arbitrary chunks, to the record stream the
// client and server read with. The first input byte picks the chunk sizes.
// Invariants: no crash or sanitizer report; chunked and whole feeding yield
// the same records and the same final status; every decoded record encodes
// and decodes back to itself.

#include "recordstream.h"
#include "wire.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome
{
    std::vector<std::string> records;  // each decoded record, encoded again
    DecodeStatus last = DecodeStatus::Incomplete;
};

void Drain(CRecordStream& stream, Outcome& outcome)
{
    for (;;) {
        CNetMessage msg;
        const DecodeStatus status = stream.Next(msg);
        outcome.last = status;
        if (status != DecodeStatus::Complete)
            return;
        std::string bytes = EncodeRecord(msg);
        if (bytes.size() < kEmptyRecordSize)
            std::abort();
        CNetMessage again;
        const DecodeResult r = DecodeRecord(bytes, again, kClientLimits);
        if (r.status != DecodeStatus::Complete || r.consumed != bytes.size() || !(again == msg))
            std::abort();
        outcome.records.push_back(std::move(bytes));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    uint32_t seed = data[0] | 1u;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    Outcome chunked;
    CRecordStream stream(kClientLimits);
    for (std::size_t pos = 0; pos < input.size();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t chunk = 1 + (seed >> 16) % 97;
        stream.Append(input.substr(pos, chunk));
        pos += chunk;
        Drain(stream, chunked);
    }

    Outcome whole;
    CRecordStream once(kClientLimits);
    once.Append(input);
    Drain(once, whole);

    if (chunked.records != whole.records || chunked.last != whole.last)
        std::abort();
    return 0;
}
