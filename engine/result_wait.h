#pragma once
// How a console front end waits for its run to end: first for the result,
// then for the worker(s) to print the last lines of the download that gave
// it. Waiting goes in slices of the redraw interval, so that a stop (Ctrl+C)
// is seen at once and a progress display keeps moving while nothing else
// does.

#include <atomic>
#include <chrono>
#include <functional>

namespace talvex {

struct ResultWait {
    // Waits at most the slice; true once the result (every result) is in.
    std::function<bool(std::chrono::milliseconds)> result;
    // Waits at most the slice; true once no worker has anything in hand.
    std::function<bool(std::chrono::milliseconds)> idle;
    // Called after every slice that brought nothing; may be empty.
    std::function<void()> tick;
};

// True when the result came and the workers went idle; false as soon as
// stop is seen true first (checked before every slice).
bool WaitForResultThenIdle(const std::atomic<bool>& stop, const ResultWait& wait);

} // namespace talvex
