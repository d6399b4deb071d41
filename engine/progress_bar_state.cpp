#include "progress_bar_state.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "progress_model.h"

namespace talvex {
namespace {

std::uint32_t Scale(std::uint32_t range) {
    return range > static_cast<std::uint32_t>(INT_MAX) ? 2 : 1;
}

} // namespace

void ProgressBarState::SetRange(std::uint32_t upper, Clock::time_point now) {
    passed_.reset();
    range_ = upper;
    position_ = 0;
    start_ = now;
}

void ProgressBarState::ShowResult(std::string text, bool passed) {
    passed_ = passed;
    resultText_ = std::move(text);
    active_ = false;
}

int ProgressBarState::Maximum() const {
    if (passed_) return 1;
    return std::max(1, static_cast<int>(range_ / Scale(range_)));
}

int ProgressBarState::Value() const {
    if (passed_) return 1;
    return static_cast<int>(std::min(position_, range_) / Scale(range_));
}

std::string ProgressBarState::Text(Clock::time_point now) const {
    if (passed_) return resultText_;
    if (!active_) return {};
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    return WindowProgressText(phase_, position_, range_, elapsed);
}

} // namespace talvex
