#pragma once

#include "store/store.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

// The bytes of offline messages waiting in the store, as far as this node
// knows: those of one sender, or of the whole store. Read from the store the
// first time, then counted up with each message kept. Recipients read and
// delete theirs meanwhile, so the count only ever says too much: one that
// would refuse a message is read again first, at most once per `recount`,
// since reading the whole store's takes a while.
//
// Used from the store's threads; each call that reads holds the count's
// lock while the store answers.
class CWaitingBytes
{
public:
    CWaitingBytes(CUsageOf of, std::string name, std::chrono::milliseconds recount)
        : m_of(of), m_name(std::move(name)), m_recount(recount)
    {
    }

    // Counts `bytes` more and returns true, unless that would take the count
    // past `quota` (0: no quota).
    bool Take(CStore& store, std::size_t bytes, std::size_t quota);

private:
    const CUsageOf m_of;
    const std::string m_name;
    const std::chrono::milliseconds m_recount;
    std::mutex m_mutex;
    std::optional<std::size_t> m_bytes;
    std::chrono::steady_clock::time_point m_readAt{};
};
