#pragma once
// The report of the checks that run under Wine: one "ok NAME" or
// "FAIL NAME: why" line each, which tools/wine-check.sh counts; the program's
// exit code is the number of failures.

#include <cstdio>
#include <string>

namespace talvex::wine_check {

inline int g_failures = 0;

inline void Report(const std::string& name, const std::string& problem) {
    if (problem.empty()) {
        std::printf("ok   %s\n", name.c_str());
    } else {
        std::printf("FAIL %s: %s\n", name.c_str(), problem.c_str());
        ++g_failures;
    }
    std::fflush(stdout);
}

} // namespace talvex::wine_check
