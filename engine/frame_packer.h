#pragma once
// Cuts the records of a program or verify pass into data frames: one frame
// per record, or, when asked for, frames that carry the bytes of several
// records that follow on from each other.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace talvex {

// One data frame as it is to go out.
struct DataFrame {
    std::uint32_t address = 0;
    const std::uint8_t* data = nullptr;
    std::size_t count = 0;
    // The record bytes the frame stands for. A halfword that two records
    // share goes out once but counts for both, so that a pass adds up to the
    // same total however its records were framed.
    std::uint64_t recordBytes = 0;
};

// The data bytes per frame that a [Flash] FrameBytes value asks for on this
// chip: 0 (one frame per record) for 0 or less; otherwise at most a full
// frame, and on chips that program halfwords an even count of at least 2.
std::size_t PackedFrameLimit(int frameBytes, bool halfword);

class FramePacker {
public:
    // Hands each frame to the sender; false from it means the frame was
    // refused, and the packer sends nothing more for that call.
    using Send = std::function<bool(const DataFrame&)>;

    // limit 0: each record goes out on its own, in pieces of at most a full
    // frame, exactly as records always have. Otherwise bytes that follow on
    // from the frame in hand join it, up to limit bytes and never across a
    // 512-byte page. halfword: the records come padded to halfwords, and a
    // record that begins on the last halfword of the frame in hand shares it.
    FramePacker(std::size_t limit, bool halfword, Send send);

    // Takes one record's bytes. Sends every frame that can no longer grow;
    // the last one is kept back until Flush, as the next record may join it.
    // False when a frame was refused.
    bool Add(std::uint32_t address, const std::uint8_t* data, std::size_t count);

    // Sends the frame kept back, if there is one. False when it was refused.
    bool Flush();

    bool Holding() const { return !pending_.empty(); }

private:
    std::size_t limit_;
    bool halfword_;
    Send send_;
    std::uint32_t at_ = 0; // address of the frame kept back
    std::vector<std::uint8_t> pending_;
    std::uint64_t recordBytes_ = 0;
};

} // namespace talvex
