#pragma once
// The progress figures every front end shows: which phase, how far, how
// fast and how long is left. The front ends only lay the figures out.
//
// One rounding rule for the percentage in every front end: whole percent
// rounded down, so that 100% means the phase is done and never shows while a
// byte is left. The time left is rounded as each front end has always shown
// it (ProgressRules): the console to the nearest second, the window up, so
// that work left never reads as no time at all there.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "window_ops.h"

namespace talvex {

// Redrawing a progress display more often than this only costs drawing
// time; it is also the slice in which a waiting front end looks for a stop.
constexpr std::chrono::milliseconds kRedrawInterval(100);

// "Erasing", "Writing", "Verifying", "Protecting".
const char* PhaseName(ProgressPhase phase);
// What a phase counts: "pages" while erasing, else "bytes".
const char* PhaseUnit(ProgressPhase phase);
// 'E', 'W', 'V' or 'P': the phase where a display has room for one letter.
char PhaseLetter(ProgressPhase phase);

enum class TimeRounding { Nearest, Up };

struct ProgressRules {
    // Rate and time left show once the phase has run this long: the first
    // moments of a phase say little about its pace.
    double settleSeconds = 1.0;
    TimeRounding rounding = TimeRounding::Up;
    // An hour or more as h:mm:ss; without it, minutes simply grow past 59.
    bool hourField = true;
};

// The console's progress line: quick to show its figures.
constexpr ProgressRules kConsoleProgress{0.2, TimeRounding::Nearest, false};
// The window's progress bar.
constexpr ProgressRules kWindowProgress{1.0, TimeRounding::Up, true};

struct ProgressFigures {
    unsigned percent = 100; // 0..100; a phase with nothing to do is done
    // Units per second, once the phase has settled and something is done.
    std::optional<double> rate;
    // Whole seconds, while the rate is known and work is left.
    std::optional<unsigned long> secondsLeft;
};

// Whole percent done, rounded down; a phase with nothing to do is done.
// Halfword padding can carry the position past the range: that counts as
// done.
unsigned PercentDone(std::uint32_t position, std::uint32_t range);

// The percentage as PercentDone gives it; the rate counts every unit moved,
// padding included.
ProgressFigures MeasureProgress(std::uint32_t position, std::uint32_t range, double elapsedSeconds,
                                const ProgressRules& rules);

// "0:07", "12:30", and with hourField "1:06:39" (else "66:39").
std::string FormatTimeLeft(unsigned long seconds, bool hourField);

// "11.2 KB/s" for bytes, else "3.0 pages/s".
std::string FormatRate(double rate, const std::string& unit);

// The window's progress bar text: "Writing 42%", and once the phase has run
// a second and there is work left, "Writing 42%, 0:12 left".
std::string WindowProgressText(ProgressPhase phase, std::uint32_t position, std::uint32_t range,
                               double elapsedSeconds);

} // namespace talvex
