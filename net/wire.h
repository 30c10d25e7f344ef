#pragma once

#include "archive.h"
#include "netmessage.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class DecodeStatus {
    Complete,   // one record decoded; `consumed` bytes belong to it
    Incomplete, // the bytes so far are a valid beginning; wait for more
    TooLarge,   // a length or count exceeds the limits
};

struct DecodeResult
{
    DecodeStatus status;
    std::size_t consumed;  // bytes of the record when Complete, else 0
};

// The one decoding entry point: looks at the front of `data` and, when a whole
// record is there, decodes it into `out` (appending to out.names). Nothing is
// allocated for a record before all of its bytes are present, and nothing a
// prefix claims is allocated beyond `limits`.
DecodeResult DecodeRecord(std::string_view data, CNetMessage& out, const DecodeLimits& limits);

// The server refuses a whole record for one string over its limit
// (kServerLimits.maxString bytes as they go on the wire, UTF-8 here) and
// closes the connection. This is the size in bytes of the longest string of
// `msg` when that is too long, else 0: check text the user typed with it
// before sending.
std::size_t OversizedString(const CNetMessage& msg);

// About the bytes `msg` takes encoded, hardly ever fewer.
std::size_t EncodedSizeBound(const CNetMessage& msg);
// Appends the encoded record to `out`.
void EncodeRecord(const CNetMessage& msg, std::string& out);
std::string EncodeRecord(const CNetMessage& msg);
// Appends a receipt, "MA" with names = [id], as EncodeRecord does a record
// with only these fields set: every other field of it is always empty, and
// a server with receipts encodes one for every message.
void EncodeReceipt(std::string_view sender, std::string_view recipient, std::string_view outcome,
                   std::string_view id, int32_t time, std::string& out);

// Bytes of an empty record: four empty strings, time, empty face name, size,
// 16 bytes of font values, 8 font bytes, colour and an empty count.
inline constexpr std::size_t kEmptyRecordSize = 43;
