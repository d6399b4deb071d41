#pragma once
// Start-up: where the program, its settings file and the part database lie,
// and the command line written into the settings file.

#include <string>

#include "settings.h"

namespace talvex {

// Directory of the running executable with its trailing separator; empty
// when the platform cannot tell.
std::string CurrentProgramDir();

// The platform's separator: '/' on POSIX, '\\' on Windows.
char PathSeparator();

// Rebuilds the command-line text from the words the shell handed over:
// words joined with single blanks, a word holding a blank wrapped in double
// quotes (for an option, only the part after its "=").
std::string JoinCommandLine(int argc, const char* const* argv, int first);

struct StartupResult {
    Settings settings;      // paths filled, the rest left for the window
    bool unattended = false;
    bool partDbPresent = false;
};

// Steps 2 to 8 of start-up: paths, the settings-file name, "af=", every other
// option written into the settings file in order, the unattended flag and the
// part-database check. Shows nothing; the caller presents the outcome.
StartupResult RunStartup(const std::string& programDir, const std::string& commandLine);

// The message an interactive start shows when zelchip.ini is missing.
std::string MissingPartDbMessage(const std::string& partDbPath);

} // namespace talvex
