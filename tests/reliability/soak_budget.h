#pragma once
// The soak's time budget, one for the whole process: no test starts a new
// run once TALVEX_SOAK_SECONDS (default 480) have passed since the process
// began, so that `make soak` ends within CI's ten minutes on any machine.

#include <chrono>
#include <cstdlib>

namespace talvex::testing {

inline const std::chrono::steady_clock::time_point kSoakProcessStart =
    std::chrono::steady_clock::now();

inline std::chrono::seconds SoakBudget() {
    const char* text = std::getenv("TALVEX_SOAK_SECONDS");
    return std::chrono::seconds(text && *text ? std::strtoll(text, nullptr, 10) : 480);
}

// True while a new run may still start.
inline bool SoakTimeLeft() {
    return std::chrono::steady_clock::now() - kSoakProcessStart < SoakBudget();
}

} // namespace talvex::testing
