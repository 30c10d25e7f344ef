#include "serverlog.h"

#include <cstdio>
#include <mutex>
#include <string>

void ServerLog(std::string_view text)
{
    static std::mutex mutex;
    std::string line = "murmurly-server: ";
    line.append(text);
    line.push_back('\n');
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
