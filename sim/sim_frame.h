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
constexpr std::size_t kMinLength = 5; // command letter and 4 value bytes
// The host's "forget the frame in hand": 23 zeros, then 07 07.
constexpr std::size_t kResyncZeros = 23;
constexpr std::size_t kResyncLength = kResyncZeros + 2;

// Sum of the length, command, value and data bytes plus the checksum is 0
// modulo 256 in a sound frame.
bool ChecksumOk(const std::uint8_t* frame, std::size_t wireLength);
std::uint8_t RotateRight3(std::uint8_t b);

struct ParsedEvent {
    enum class Kind { None, Frame, ShortFrame, Wake, Resync };
    Kind kind = Kind::None;
    const std::uint8_t* frame = nullptr; // whole frame from 07 (Frame, ShortFrame)
    std::size_t wireLength = 0;
};

class FrameParser {
public:
    // Consumes bytes until one event or the end of the input; returns the
    // count consumed. Stray bytes other than 0x08 are only counted; a
    // resynchronisation block that arrives between frames is an event of its
    // own and does not count as stray. Zeros are held back until it is clear
    // whether they belong to such a block.
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
    std::uint64_t zeros_ = 0;  // zeros in a row, not yet counted as stray
    bool afterResync_ = false; // the 07 in hand ended a resync block
};

} // namespace zarq
