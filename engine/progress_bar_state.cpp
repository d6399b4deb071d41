#include "progress_bar_state.h"

#include <algorithm>
#include <climits>

#include "progress_model.h"

namespace talvex {
namespace {

std::uint32_t Scale(std::uint32_t range) {
    return range > static_cast<std::uint32_t>(INT_MAX) ? 2 : 1;
}

} // namespace

void ProgressBarState::SetRange(std::uint32_t upper, Clock::time_point now) {
    range_ = upper;
    position_ = 0;
    start_ = now;
}

int ProgressBarState::Maximum() const {
    return std::max(1, static_cast<int>(range_ / Scale(range_)));
}

int ProgressBarState::Value() const {
    return static_cast<int>(std::min(position_, range_) / Scale(range_));
}

std::string ProgressBarState::Text(Clock::time_point now) const {
    if (!active_) return {};
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    return WindowProgressText(phase_, position_, range_, elapsed);
}

} // namespace talvex
