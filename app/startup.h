#pragma once
// Start-up: where the program, its settings file and the part database lie,
// and the command line written into the settings file.

#include <string>
#include <vector>

#include "settings.h"

namespace talvex {

// Directory of the running executable with its trailing separator; empty
// when the platform cannot tell.
std::string CurrentProgramDir();

// The platform's separator: '/' on POSIX, '\\' on Windows.
char PathSeparator();

// Called first thing in main. A standard stream that the caller closed is
// opened on the null device, so that the next file opened (the serial port,
// a trace) cannot take its number and receive the status text. A write to a
// reader that went away then fails with an error instead of killing the
// process in the middle of a download.
void PrepareStandardStreams();

// Rebuilds the command-line text from the words the shell handed over:
// words joined with single blanks, a word holding a blank wrapped in double
// quotes (for an option, only the part after its "=").
std::string JoinCommandLine(int argc, const char* const* argv, int first);

// A command-line option that the settings file did not take. A batch file
// still gets what it asked for: the value applies to this run.
struct UnstoredOption {
    std::string option; // as given, e.g. "cp=COM9"
    std::string key;    // the settings key it writes, e.g. "Port"
    std::string value;  // the text it would have written
    std::string reason; // why not, e.g. "read-only file"
};

struct StartupResult {
    Settings settings; // paths filled, the rest left for the window
    bool unattended = false;
    bool partDbPresent = false;
    std::string partDbProblem;            // why a part database that exists is not used
    std::string settingsProblem;          // why the settings file is not read (refused or
                                          // unreadable); empty when it is read or missing
    std::vector<UnstoredOption> unstored; // in command-line order
};

// Steps 2 to 8 of start-up: paths, the settings-file name, "af=", every other
// option written into the settings file in order, the unattended flag and the
// part-database check. Shows nothing; the caller presents the outcome.
// With storeOptions false nothing is written: every option applies to this
// run only, as one the file refused would (for commands that only look).
// A first word that begins with "-" is a mistaken flag, never a
// settings-file name: the default settings file is used.
StartupResult RunStartup(const std::string& programDir, const std::string& commandLine,
                         bool storeOptions = true);

// Puts the options that could not be stored over what the window read from
// the file (ReadSettingsAtOpening), later options over earlier ones.
void ApplyUnstoredOptions(const StartupResult& startup, Settings& settings);

// The message an interactive start shows when zelchip.ini cannot be used:
// the missing-file text, or with a reason the file that is there but refused.
std::string MissingPartDbMessage(const std::string& partDbPath, const std::string& reason = {});

} // namespace talvex
