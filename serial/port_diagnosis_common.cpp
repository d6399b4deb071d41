// The parts of the port diagnosis that are the same on every system.

#include "port_diagnosis.h"

namespace talvex {

std::string LatencyWarning(const std::string& port, const PortDescription& description) {
    const int ms = description.latencyTimerMs;
    if (ms <= 1) return {};
    // A target answers each frame at once, but the adapter holds the answer
    // until its timer runs out: one 16-byte record per timer period at best.
    const int tenthsKBps = (160 + ms - 1) / ms; // 16 bytes per period, rounded up
    std::string text = port + ": the USB adapter's latency timer is " + std::to_string(ms) +
                       " ms. Every frame waits for it, so a download of 16-byte records runs at "
                       "under " +
                       std::to_string(tenthsKBps / 10) + "." + std::to_string(tenthsKBps % 10) +
                       " kB/s.";
    if (!description.latencyTimerPath.empty()) {
        text += " As root: echo 1 > " + description.latencyTimerPath;
    }
    return text;
}

} // namespace talvex
