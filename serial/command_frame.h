#pragma once
// Bootloader command frames. The exchange that sends them is FrameLink.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "frame_bytes.h"

namespace talvex {

constexpr std::size_t kMaxFrameData = 250;

// The failure score of a frame that was never acknowledged. A score at or
// above it means the command failed, and the engine skips every later step.
constexpr int kNeverAcknowledged = 10;
constexpr bool Acknowledged(int score) { return score < kNeverAcknowledged; }

class CommandFrame {
public:
    // Empty when data exceeds 250 bytes: a frame is never truncated.
    static std::optional<CommandFrame> Make(char letter, std::uint32_t value,
                                            const std::uint8_t* data, std::size_t count);
    static CommandFrame Erase(std::uint32_t offset, std::uint8_t pages);
    static CommandFrame Protect(std::uint32_t value, std::uint8_t subCode);
    static CommandFrame Run(std::uint32_t value);
    // Verify data go out rotated left by 3 bits; the checksum covers them.
    static std::optional<CommandFrame> Verify(std::uint32_t offset, const std::uint8_t* data,
                                              std::size_t count);

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    char Letter() const { return static_cast<char>(bytes_[3]); }

private:
    std::vector<std::uint8_t> bytes_;
};

std::uint8_t RotateLeft3(std::uint8_t b);

// Two's complement of the sum of bytes 2 .. N + 2.
std::uint8_t FrameChecksum(const std::uint8_t* fromLength, std::size_t count);

} // namespace talvex
