#include "loopturn.h"

#include "serverlog.h"

void LogSlowLoopTurn(std::chrono::steady_clock::duration length, const std::string& what)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(length).count();
    std::string line = "slow loop turn of " + std::to_string(ms) + " ms: " + what;
    // What ran may name a command or a subject that a client chose: it must
    // not forge another line.
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    ServerLog(line);
}
