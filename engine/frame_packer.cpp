#include "frame_packer.h"

#include <algorithm>
#include <utility>

#include "command_frame.h"
#include "image_shadow.h"
#include "settings.h"

namespace talvex {

static_assert(static_cast<std::size_t>(kMaxFrameBytes) == kMaxFrameData,
              "the setting's ceiling is the frame's own");

std::size_t PackedFrameLimit(int frameBytes, bool halfword) {
    if (frameBytes <= 0) return 0;
    std::size_t limit = std::min(static_cast<std::size_t>(frameBytes), kMaxFrameData);
    if (halfword) {
        // Every frame must start and end on a halfword; 1 cannot, so the
        // smallest frame there is one halfword.
        limit = std::max<std::size_t>(limit & ~std::size_t{1}, 2);
    }
    return limit;
}

FramePacker::FramePacker(std::size_t limit, bool halfword, Send send)
    : limit_(std::min(limit, kMaxFrameData)), halfword_(halfword), send_(std::move(send)) {
    pending_.reserve(limit_);
}

bool FramePacker::Add(std::uint32_t address, const std::uint8_t* data, std::size_t count) {
    if (count == 0) return true;
    if (limit_ == 0) {
        // A record longer than a frame goes out as several whose addresses
        // follow on. kMaxFrameData is even, so on halfword chips every piece
        // starts at the parity of the record itself.
        for (std::size_t done = 0; done < count;) {
            const std::size_t n = std::min(count - done, kMaxFrameData);
            const DataFrame frame{address + static_cast<std::uint32_t>(done), data + done, n, n};
            if (!send_(frame)) return false;
            done += n;
        }
        return true;
    }

    std::size_t taken = 0;
    if (!pending_.empty()) {
        const std::uint32_t end = at_ + static_cast<std::uint32_t>(pending_.size());
        if (halfword_ && count >= 2 && pending_.size() >= 2 && address + 2u == end) {
            // Two records that meet at an odd address were each widened over
            // the other's byte, with erased flash (program) or the image's
            // own byte (verify) there. Both sides carry the image's byte or
            // 0xFF, so AND gives the image's byte, sent once.
            pending_[pending_.size() - 2] &= data[0];
            pending_[pending_.size() - 1] &= data[1];
            recordBytes_ += 2;
            taken = 2;
        } else if (address != end) {
            // A gap, or a record that goes back: the frame in hand is done.
            if (!Flush()) return false;
        }
    }
    while (taken < count) {
        const std::uint32_t next = address + static_cast<std::uint32_t>(taken);
        if (!pending_.empty() && (pending_.size() == limit_ || next % kPageSize == 0)) {
            if (!Flush()) return false;
        }
        if (pending_.empty()) at_ = next;
        const std::size_t room = std::min(limit_ - pending_.size(),
                                          static_cast<std::size_t>(kPageSize - next % kPageSize));
        const std::size_t n = std::min(room, count - taken);
        pending_.insert(pending_.end(), data + taken, data + taken + n);
        recordBytes_ += n;
        taken += n;
    }
    return true;
}

bool FramePacker::Flush() {
    if (pending_.empty()) return true;
    const DataFrame frame{at_, pending_.data(), pending_.size(), recordBytes_};
    const bool sent = send_(frame);
    pending_.clear();
    recordBytes_ = 0;
    return sent;
}

} // namespace talvex
