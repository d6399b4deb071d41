#pragma once
// The bytes of the bootloader's line protocol that both the sender of frames
// and the byte trace must agree on: the frame layout, the answers, the wake
// byte and the resync block.

#include <cstddef>
#include <cstdint>

namespace talvex {

// A command frame: two start bytes, a length byte that counts the letter,
// the four value bytes and the data (not the checksum), the letter, the
// value big-endian, the data, and one checksum byte.
constexpr std::uint8_t kFrameStart = 0x07;
constexpr std::uint8_t kFrameStart2 = 0x0E;
constexpr std::size_t kFrameLengthAt = 2;
constexpr std::size_t kFrameLetterAt = 3;
constexpr std::size_t kFrameValueAt = 4;
// Start bytes, length, letter, value and checksum: a frame without data.
constexpr std::size_t kFrameOverhead = 9;
// What the length byte counts beyond the data: the letter and the value.
constexpr std::size_t kFrameLengthExtra = 5;
// The length byte leaves out the start bytes, itself and the checksum.
constexpr std::size_t kFrameLengthLeavesOut = kFrameOverhead - kFrameLengthExtra;

// The answers to a frame.
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

// Sent on its own while waiting for the target: its bootloader answers it
// with the identification.
constexpr std::uint8_t kWakeByte = 0x08;

// "Forget the frame in hand": a run of zeros long enough to finish any frame,
// then two start bytes.
constexpr std::size_t kResyncZeros = 23;
constexpr std::size_t kResyncBlockSize = kResyncZeros + 2;

} // namespace talvex
