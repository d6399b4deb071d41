// The drain policy of Write: cheap when the queue is already empty (one look),
// close behind the line when it is not, and never longer than the deadline.

#include "output_drain.h"

#include "serial_port.h"

#include <algorithm>
#include <thread>

namespace talvex {

using Clock = std::chrono::steady_clock;

std::chrono::microseconds WireTime(std::size_t count, std::uint32_t baud) {
    const std::uint64_t b = baud == 0 ? 1 : baud;
    const std::uint64_t n = std::min<std::uint64_t>(count, 0xFFFFFFFFull);
    return std::chrono::microseconds(n * 10'000'000ull / b);
}

DrainEnd WaitForOutputDrain(const std::function<long()>& queued, std::uint32_t baud,
                            Clock::time_point deadline, const std::atomic<bool>* stop, long& left) {
    using std::chrono::microseconds;
    constexpr microseconds kShortest{100};
    constexpr microseconds kLongest{kStopLatencyMs * 1000};
    long previous = -1;
    microseconds pause = kShortest;
    for (;;) {
        left = queued();
        if (left < 0) return DrainEnd::Failed;
        if (left == 0) return DrainEnd::Drained;
        const auto now = Clock::now();
        if (now >= deadline) return DrainEnd::TimedOut;
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return DrainEnd::Stopped;
        // A queue that moves is followed at the line's pace; one that does
        // not is looked at less often, up to the stop latency.
        pause = left == previous ? std::min(pause * 2, kLongest)
                                 : std::clamp(WireTime(static_cast<std::size_t>(left), baud),
                                              kShortest, kLongest);
        previous = left;
        const auto wake = std::min(now + pause, deadline);
        std::this_thread::sleep_until(wake);
    }
}

} // namespace talvex
