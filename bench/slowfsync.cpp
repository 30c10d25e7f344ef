// A slow disk for the benchmarks: loaded with LD_PRELOAD, it makes every
// fsync and fdatasync of the process take 60 ms longer than the disk needs
// (MURMURLY_FSYNC_DELAY_MS sets another delay). It is what a busy laptop
// disk or a network home folder does to a program that syncs each write.
//
//   LD_PRELOAD=build/bench/libmurmurly-slowfsync.so PROGRAM ...
//
// MurmurlySlowedSyncs tells a program that looks it up that the shim is in,
// and how many calls it has slowed.

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<long> g_slowed{0};

std::chrono::milliseconds Delay()
{
    static const std::chrono::milliseconds delay = [] {
        const char* value = std::getenv("MURMURLY_FSYNC_DELAY_MS");
        return std::chrono::milliseconds(value ? std::atol(value) : 60);
    }();
    return delay;
}

template <typename Function> Function Next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int Slowed(int result)
{
    // The caller reads errno of the real call, not of the sleep.
    const int error = errno;
    g_slowed.fetch_add(1, std::memory_order_relaxed);
    std::this_thread::sleep_for(Delay());
    errno = error;
    return result;
}

} // namespace

extern "C" {

int fsync(int fd)
{
    static const auto real = Next<int (*)(int)>("fsync");
    return Slowed(real(fd));
}

int fdatasync(int fd)
{
    static const auto real = Next<int (*)(int)>("fdatasync");
    return Slowed(real(fd));
}

long MurmurlySlowedSyncs()
{
    return g_slowed.load(std::memory_order_relaxed);
}

} // extern "C"
