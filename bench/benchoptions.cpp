#include "benchoptions.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

bool ParseBenchOptions(int argc, char** argv, std::initializer_list<CBenchOption> options, const char* usage)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const CBenchOption* match = nullptr;
        for (const CBenchOption& option : options)
            if (arg == option.name)
                match = &option;
        const bool hasValue = i + 1 < argc;
        if (match && std::holds_alternative<bool*>(match->target)) {
            *std::get<bool*>(match->target) = true;
        } else if (match && hasValue && std::holds_alternative<int*>(match->target)) {
            *std::get<int*>(match->target) = std::atoi(argv[++i]);
        } else if (match && hasValue) {
            *std::get<std::string*>(match->target) = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s\n", usage);
            return false;
        }
    }
    return true;
}

int BenchFail(const char* program, const std::string& message, int status)
{
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return status;
}

int RunBench(const char* program, const std::function<int()>& run)
{
    try {
        return run();
    } catch (const std::exception& error) {
        return BenchFail(program, error.what(), 1);
    }
}
