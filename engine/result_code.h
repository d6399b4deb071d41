#pragma once
// How a run ended, as a batch file sees it: the process exit code.

#include <cstddef>

namespace talvex {

// The codes of an unattended run, then the console's own. The numbers are
// what batch files test; never renumber them.
enum class ExitCode : int {
    Success = 0,
    FlashError = 1,
    Image = 2,
    Address = 3,
    Port = 4,
    Erase = 5,
    WrongPart = 6,
    Write = 7,
    Verify = 8,
    Protection = 9,
    Usage = 64,
    Output = 74,
    Interrupted = 130,
};

constexpr int ToInt(ExitCode code) { return static_cast<int>(code); }

struct ExitCodeInfo {
    ExitCode code;
    const char* meaning; // short, for a usage text or a table column
};

// Every code in increasing order, with its meaning.
const ExitCodeInfo* ExitCodeTable(std::size_t& count);

// The meaning of a code; "unknown result" for a number that is none of them.
const char* ExitCodeMeaning(int code);

} // namespace talvex
