#pragma once

#include <cstddef>

// Memory for the id tables of CSentIds, from 2 MiB blocks that the kernel
// may back with huge pages. Noting a message's id reads one random slot of
// its sender's table, and the tables of all senders together span far more
// small pages than the TLB holds: each note then cost a page walk besides
// the cache miss. A thread of the arena's own makes the next block ready,
// since taking a huge page can take milliseconds.
//
// Sizes are powers of two from kMinBytes to kMaxBytes; a block given back
// is kept for the next table of its size, and the memory never goes back to
// the system (the tables of a sender who stops come back for the next).
// Larger sizes come from operator new. Safe from any thread.
namespace SlotArena {

inline constexpr std::size_t kMinBytes = 256;
inline constexpr std::size_t kMaxBytes = std::size_t{256} << 10;

void* Allocate(std::size_t bytes);
void Free(void* block, std::size_t bytes);

// For std::vector.
template <typename T> struct CAllocator
{
    using value_type = T;
    CAllocator() = default;
    template <typename U> CAllocator(const CAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(Allocate(n * sizeof(T))); }
    void deallocate(T* block, std::size_t n) { Free(block, n * sizeof(T)); }
    template <typename U> bool operator==(const CAllocator<U>&) const { return true; }
};

} // namespace SlotArena
