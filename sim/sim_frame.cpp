#include "sim_frame.h"

#include <algorithm>
#include <cstring>

namespace zarq {

bool ChecksumOk(const std::uint8_t* frame, std::size_t wireLength) {
    std::uint8_t sum = 0;
    for (std::size_t i = 2; i < wireLength; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
    return sum == 0;
}

std::uint8_t RotateRight3(std::uint8_t b) { return static_cast<std::uint8_t>((b >> 3) | (b << 5)); }

void FrameParser::Reset() {
    state_ = State::Hunt;
    have_ = 0;
    want_ = 0;
    skipped_ += zeros_;
    zeros_ = 0;
    afterResync_ = false;
}

std::uint64_t FrameParser::TakeSkipped() {
    const std::uint64_t n = skipped_;
    skipped_ = 0;
    return n;
}

std::size_t FrameParser::Consume(const std::uint8_t* data, std::size_t count, ParsedEvent& event) {
    event = ParsedEvent{};
    std::size_t i = 0;
    while (i < count) {
        switch (state_) {
        case State::Hunt: {
            const std::uint8_t b = data[i++];
            if (b == 0x00) {
                ++zeros_;
            } else if (b == kStart1) {
                state_ = State::Start1;
            } else {
                skipped_ += zeros_;
                zeros_ = 0;
                if (b == kWakeByte) {
                    event.kind = ParsedEvent::Kind::Wake;
                    return i;
                }
                ++skipped_;
            }
            break;
        }
        case State::Start1: {
            const std::uint8_t b = data[i];
            if (b == kStart2) {
                ++i;
                skipped_ += zeros_;
                zeros_ = 0;
                afterResync_ = false;
                state_ = State::Length;
            } else if (b == kStart1 && zeros_ >= kResyncZeros) {
                // The block is complete; its last 07 may still turn out to
                // start a frame, so the parser stays where it is.
                ++i;
                skipped_ += zeros_ - kResyncZeros;
                zeros_ = 0;
                afterResync_ = true;
                event.kind = ParsedEvent::Kind::Resync;
                return i;
            } else {
                // The 07 was stray (unless it ended a resync block); this
                // byte may start the next frame or be a wake byte.
                skipped_ += zeros_ + (afterResync_ ? 0 : 1);
                zeros_ = 0;
                afterResync_ = false;
                state_ = State::Hunt;
            }
            break;
        }
        case State::Length: {
            const std::uint8_t n = data[i++];
            buffer_[0] = kStart1;
            buffer_[1] = kStart2;
            buffer_[2] = n;
            if (n < kMinLength) {
                state_ = State::Hunt;
                event.kind = ParsedEvent::Kind::ShortFrame;
                event.frame = buffer_;
                event.wireLength = 3;
                return i;
            }
            have_ = 3;
            want_ = std::size_t(n) + 4;
            state_ = State::Body;
            break;
        }
        case State::Body: {
            const std::size_t take = std::min(want_ - have_, count - i);
            std::memcpy(buffer_ + have_, data + i, take);
            have_ += take;
            i += take;
            if (have_ == want_) {
                state_ = State::Hunt;
                event.kind = ParsedEvent::Kind::Frame;
                event.frame = buffer_;
                event.wireLength = want_;
                return i;
            }
            break;
        }
        }
    }
    return i;
}

} // namespace zarq
