#pragma once
// Waiting for a device's output queue to empty, bounded by a deadline and a
// stop flag. Kept apart from the backends so that the policy can be tested
// with a queue that never empties, which no pseudo-terminal can provide.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace talvex {

enum class DrainEnd { Drained, TimedOut, Stopped, Failed };

// queued() gives the bytes still waiting in the device's output queue, or a
// negative value when the device failed. The queue is looked at again after
// about the time the line needs to send what is left at the baud rate, at
// least every kStopLatencyMs, and less and less often while it does not move
// (a stalled adapter must not cost a busy loop). `left` gets the last count
// seen (0 once drained).
DrainEnd WaitForOutputDrain(const std::function<long()>& queued, std::uint32_t baud,
                            std::chrono::steady_clock::time_point deadline,
                            const std::atomic<bool>* stop, long& left);

// Time the line needs for count bytes at baud rate b (10 bits a byte: start,
// 8 data, stop).
std::chrono::microseconds WireTime(std::size_t count, std::uint32_t baud);

} // namespace talvex
