#pragma once
// What a window program does between start-up and its window, the same for
// every toolkit: an unattended run that cannot start ends at once, and the
// batch log hears of an image that cannot be used.

#include <optional>
#include "result_code.h"
#include "startup.h"

namespace talvex {

// What --help prints: the window programs take the same words.
extern const char kWindowUsage[];

// Writes to stderr, as "talvex: ...", what the batch log must learn before
// an unattended run: without a usable part database the run cannot start
// and the code to end with is returned (no window at all, so a batch file
// gets its code even where no display is at hand); an unusable image is
// only told. Nothing for an interactive start.
std::optional<ExitCode> TellUnattendedStart(const StartupResult& startup);

} // namespace talvex
