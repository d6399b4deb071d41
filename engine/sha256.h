#pragma once
// SHA-256 of a byte stream, for the run record's fingerprint of the image
// file: a quality engineer compares it with sha256sum of the released file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace talvex {

class Sha256 {
public:
    Sha256();
    void Add(const void* data, std::size_t count);
    // The digest of everything added; the object is spent afterwards.
    std::array<std::uint8_t, 32> Finish();
    // Finish() as 64 lower-case hexadecimal digits, as sha256sum prints it.
    std::string FinishHex();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingCount_ = 0;
    std::uint64_t totalBytes_ = 0;
};

} // namespace talvex
