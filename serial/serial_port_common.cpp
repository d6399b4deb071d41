// Parts of the serial port that are the same on every OS: the baud setting
// and the time-out formulas the bootloader exchange is tuned to.

#include "serial_port.h"

#include <algorithm>
#include <limits>

namespace talvex {

namespace {

std::uint32_t Saturate(std::uint64_t ms) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(ms, std::numeric_limits<std::uint32_t>::max()));
}

} // namespace

bool ParseBaud(const std::string& text, std::uint32_t& baud) {
    // Only plain decimal digits: a sign, blanks or a unit would hide a typo
    // in a batch file, and the time-outs divide by the rate.
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value == 0 || value > std::numeric_limits<std::uint32_t>::max()) return false;
    baud = static_cast<std::uint32_t>(value);
    return true;
}

std::uint32_t CSerialPort::ReadTimeoutMs(std::uint32_t baud, std::size_t count) {
    // A rate of 0 never gets past ParseBaud; treat it as the slowest line
    // rather than divide by zero.
    const std::uint64_t b = baud == 0 ? 1 : baud;
    const std::uint64_t constant = 2000000 / b + 1;
    const std::uint64_t perByte = 2000 / b + 1;
    const std::uint64_t n =
        std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max());
    return Saturate(constant + perByte * n);
}

std::uint32_t CSerialPort::WriteTimeoutMs(std::size_t count) {
    const std::uint64_t n =
        std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max());
    return Saturate(5000 + 10 * n);
}

} // namespace talvex
