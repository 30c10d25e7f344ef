#include "slotarena.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace SlotArena {
namespace {

constexpr std::size_t kChunk = std::size_t{2} << 20;
constexpr int kClasses = std::countr_zero(kMaxBytes) - std::countr_zero(kMinBytes) + 1;

// A new 2 MiB block aligned to 2 MiB. With `huge`, the kernel is asked to
// back it with a huge page, and the page is taken at once: that may cost
// milliseconds (zeroing it, compacting memory to find one), so it is done
// on the arena's own thread, never on the server's loop.
char* NewChunk(bool huge)
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
    if (huge) {
        ::madvise(chunk, kChunk, MADV_HUGEPAGE); // a hint: small pages work too
        *static_cast<volatile char*>(chunk) = 0;
    }
    return chunk;
}

struct CArena
{
    std::mutex lock;
    std::array<std::vector<void*>, kClasses> free;
    char* next = nullptr; // in the chunk being cut
    char* end = nullptr;
    // The next chunk, made ready by the thread below.
    char* spare = nullptr;
    bool spareWanted = false;
    std::condition_variable wake;

    CArena()
    {
        // Lives as long as the process, waiting while a spare is ready.
        std::thread([this] {
            std::unique_lock<std::mutex> hold(lock);
            for (;;) {
                wake.wait(hold, [this] { return spareWanted; });
                spareWanted = false;
                hold.unlock();
                char* chunk = NewChunk(true);
                hold.lock();
                if (spare)
                    ::munmap(chunk, kChunk);
                else
                    spare = chunk;
            }
        }).detach();
    }

    // The chunk to cut next: the spare, or while that is not ready yet one
    // of small pages, which costs the loop no more than any allocation.
    char* TakeChunk()
    {
        char* chunk = spare ? spare : NewChunk(false);
        spare = nullptr;
        spareWanted = true;
        wake.notify_one();
        return chunk;
    }
};

CArena& Arena()
{
    // Never destroyed: tables of objects destroyed late give their blocks
    // back to it.
    static CArena* arena = new CArena;
    return *arena;
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
        arena.next = arena.TakeChunk();
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
