#include "progress_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace talvex {

const char* PhaseName(ProgressPhase phase) {
    switch (phase) {
    case ProgressPhase::Erase: return "Erasing";
    case ProgressPhase::Write: return "Writing";
    case ProgressPhase::Verify: return "Verifying";
    case ProgressPhase::Protect: return "Protecting";
    }
    return "";
}

const char* PhaseUnit(ProgressPhase phase) {
    return phase == ProgressPhase::Erase ? "pages" : "bytes";
}

char PhaseLetter(ProgressPhase phase) {
    switch (phase) {
    case ProgressPhase::Erase: return 'E';
    case ProgressPhase::Write: return 'W';
    case ProgressPhase::Verify: return 'V';
    case ProgressPhase::Protect: return 'P';
    }
    return 0;
}

unsigned PercentDone(std::uint32_t position, std::uint32_t range) {
    if (range == 0) return 100;
    return static_cast<unsigned>(static_cast<std::uint64_t>(std::min(position, range)) * 100 /
                                 range);
}

ProgressFigures MeasureProgress(std::uint32_t position, std::uint32_t range, double elapsedSeconds,
                                const ProgressRules& rules) {
    ProgressFigures figures;
    figures.percent = PercentDone(position, range);
    const std::uint32_t done = std::min(position, range);
    if (elapsedSeconds < rules.settleSeconds || position == 0) return figures;
    figures.rate = position / elapsedSeconds;
    if (done < range) {
        // From the elapsed time directly rather than through the rate: one
        // rounding less, so that even figures stay even.
        const double left = static_cast<double>(range - done) * elapsedSeconds / done;
        figures.secondsLeft = static_cast<unsigned long>(
            rules.rounding == TimeRounding::Up ? std::ceil(left) : left + 0.5);
    }
    return figures;
}

std::string FormatTimeLeft(unsigned long seconds, bool hourField) {
    char text[48];
    if (hourField && seconds >= 3600) {
        std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%lu:%02lu", seconds / 60, seconds % 60);
    }
    return text;
}

std::string FormatRate(double rate, const std::string& unit) {
    char text[64];
    if (unit == "bytes")
        std::snprintf(text, sizeof text, "%.1f KB/s", rate / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f %s/s", rate, unit.c_str());
    return text;
}

std::string WindowProgressText(ProgressPhase phase, std::uint32_t position, std::uint32_t range,
                               double elapsedSeconds) {
    const ProgressFigures figures =
        MeasureProgress(position, range, elapsedSeconds, kWindowProgress);
    std::string text = std::string(PhaseName(phase)) + " " + std::to_string(figures.percent) + "%";
    if (figures.secondsLeft) {
        text += ", " + FormatTimeLeft(*figures.secondsLeft, kWindowProgress.hourField) + " left";
    }
    return text;
}

} // namespace talvex
