#pragma once
// What a window's progress bar shows, whatever draws it: the phase lasts
// from its range to the next status line, the bar counts in int, and the
// text names the phase, the percentage and the time left.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "window_ops.h"

namespace talvex {

class ProgressBarState {
public:
    using Clock = std::chrono::steady_clock;

    // A new phase also ends the last run's result.
    void SetPhase(ProgressPhase phase) {
        phase_ = phase;
        active_ = true;
        passed_.reset();
    }
    // A new range starts the phase's clock with nothing done.
    void SetRange(std::uint32_t upper, Clock::time_point now);
    void SetPosition(std::uint32_t position) { position_ = position; }
    // A status line closes the phase in hand: the bar keeps its figures but
    // shows no text.
    void EndPhase() { active_ = false; }
    // A run has ended: the bar stays full and says how (ResultBarText) until
    // the next phase begins; status lines do not clear it.
    void ShowResult(std::string text, bool passed);
    // Whether the result shown passed; empty while none is shown.
    std::optional<bool> ResultPassed() const { return passed_; }

    // The bar's int range and value. A range beyond int is halved, which is
    // exact enough for a bar; an empty range shows an empty bar rather than
    // the busy indicator a zero maximum gives.
    int Maximum() const;
    int Value() const;
    // The result while one is shown, WindowProgressText while a phase is in
    // hand, else empty.
    std::string Text(Clock::time_point now) const;

private:
    bool active_ = false;
    ProgressPhase phase_ = ProgressPhase::Erase;
    std::uint32_t range_ = 100;
    std::uint32_t position_ = 0;
    Clock::time_point start_;
    std::optional<bool> passed_;
    std::string resultText_;
};

} // namespace talvex
