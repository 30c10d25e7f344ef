#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <variant>

// One option of a benchmark's command line: a flag (bool) or one that takes
// a value (a whole number or a string).
struct CBenchOption
{
    const char* name;
    std::variant<bool*, int*, std::string*> target;
};

// Fills the targets from the command line. Anything unknown, or an option
// without its value, prints `usage` and gives false.
bool ParseBenchOptions(int argc, char** argv, std::initializer_list<CBenchOption> options, const char* usage);

// Prints "PROGRAM: MESSAGE" on standard error and returns `status`.
int BenchFail(const char* program, const std::string& message, int status);

// Runs a benchmark: what it throws is printed and ends it with status 1.
int RunBench(const char* program, const std::function<int()>& run);
