#include "slotarena.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace SlotArena {
namespace {

constexpr std::size_t kChunk = std::size_t{2} << 20;
constexpr int kClasses = std::countr_zero(kMaxBytes) - std::countr_zero(kMinBytes) + 1;

struct CArena
{
    std::mutex lock;
    std::array<std::vector<void*>, kClasses> free;
    char* next = nullptr; // in the chunk being cut
    char* end = nullptr;
};

CArena& Arena()
{
    // Never destroyed: tables of objects destroyed late give their blocks
    // back to it.
    static CArena* arena = new CArena;
    return *arena;
}

// A new 2 MiB block aligned to 2 MiB, where a huge page can back it.
char* NewChunk()
{
    void* raw = ::mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kChunk - 1) & ~(kChunk - 1);
    if (aligned > start)
        ::munmap(raw, aligned - start);
    ::munmap(reinterpret_cast<void*>(aligned + kChunk), start + kChunk - aligned);
    auto* chunk = reinterpret_cast<char*>(aligned);
    ::madvise(chunk, kChunk, MADV_HUGEPAGE); // a hint: small pages work too
    return chunk;
}

bool FromArena(std::size_t bytes)
{
    return bytes <= kMaxBytes;
}

std::size_t ClassOf(std::size_t bytes)
{
    return static_cast<std::size_t>(std::countr_zero(std::bit_ceil(std::max(bytes, kMinBytes))) -
                                    std::countr_zero(kMinBytes));
}

} // namespace

void* Allocate(std::size_t bytes)
{
    if (!FromArena(bytes))
        return ::operator new(bytes);
    const std::size_t size = std::bit_ceil(std::max(bytes, kMinBytes));
    CArena& arena = Arena();
    const std::lock_guard<std::mutex> hold(arena.lock);
    auto& kept = arena.free[ClassOf(size)];
    if (!kept.empty()) {
        void* block = kept.back();
        kept.pop_back();
        return block;
    }
    // Cut from the chunk; its tail, too short for this block, is cut into
    // blocks of the smaller sizes.
    if (arena.next == nullptr || static_cast<std::size_t>(arena.end - arena.next) < size) {
        if (arena.next != nullptr) {
            for (std::size_t piece = kMaxBytes; piece >= kMinBytes; piece /= 2)
                while (static_cast<std::size_t>(arena.end - arena.next) >= piece) {
                    arena.free[ClassOf(piece)].push_back(arena.next);
                    arena.next += piece;
                }
        }
        arena.next = NewChunk();
        arena.end = arena.next + kChunk;
    }
    void* block = arena.next;
    arena.next += size;
    return block;
}

void Free(void* block, std::size_t bytes)
{
    if (!block)
        return;
    if (!FromArena(bytes)) {
        ::operator delete(block);
        return;
    }
    CArena& arena = Arena();
    const std::lock_guard<std::mutex> hold(arena.lock);
    arena.free[ClassOf(bytes)].push_back(block);
}

} // namespace SlotArena
