#pragma once
// The target's own frame reader: hunts for 07 0E, takes the length byte and
// collects the rest of the frame. It keeps its place between chunks, so a
// frame may arrive in any number of pieces.

#include <cstddef>
#include <cstdint>

namespace zarq {

constexpr std::uint8_t kStart1 = 0x07;
constexpr std::uint8_t kStart2 = 0x0E;
constexpr std::uint8_t kWakeByte = 0x08;
constexpr std::size_t kMinLength = 5;  // command letter and 4 value bytes

// Sum of the length, command, value and data bytes plus the checksum is 0
// modulo 256 in a sound frame.
bool ChecksumOk(const std::uint8_t* frame, std::size_t wireLength);
std::uint8_t RotateRight3(std::uint8_t b);

struct ParsedEvent {
    enum class Kind { None, Frame, ShortFrame, Wake };
    Kind kind = Kind::None;
    const std::uint8_t* frame = nullptr;  // whole frame from 07 (Frame, ShortFrame)
    std::size_t wireLength = 0;
};

class FrameParser {
public:
    // Consumes bytes until one event or the end of the input; returns the
    // count consumed. Stray bytes other than 0x08 are only counted.
    std::size_t Consume(const std::uint8_t* data, std::size_t count, ParsedEvent& event);
    std::uint64_t TakeSkipped();
    void Reset();

private:
    enum class State { Hunt, Start1, Length, Body };
    State state_ = State::Hunt;
    std::uint8_t buffer_[4 + 255] = {};
    std::size_t have_ = 0;
    std::size_t want_ = 0;
    std::uint64_t skipped_ = 0;
};

} // namespace zarq
