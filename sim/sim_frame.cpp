#include "sim_frame.h"

#include <algorithm>
#include <cstring>

namespace zarq {

bool ChecksumOk(const std::uint8_t* frame, std::size_t wireLength)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 2; i < wireLength; ++i)
        sum = static_cast<std::uint8_t>(sum + frame[i]);
    return sum == 0;
}

std::uint8_t RotateRight3(std::uint8_t b)
{
    return static_cast<std::uint8_t>((b >> 3) | (b << 5));
}

void FrameParser::Reset()
{
    state_ = State::Hunt;
    have_ = 0;
    want_ = 0;
}

std::uint64_t FrameParser::TakeSkipped()
{
    const std::uint64_t n = skipped_;
    skipped_ = 0;
    return n;
}

std::size_t FrameParser::Consume(const std::uint8_t* data, std::size_t count, ParsedEvent& event)
{
    event = ParsedEvent{};
    std::size_t i = 0;
    while (i < count) {
        switch (state_) {
        case State::Hunt: {
            const std::uint8_t b = data[i++];
            if (b == kStart1) {
                state_ = State::Start1;
            } else if (b == kWakeByte) {
                event.kind = ParsedEvent::Kind::Wake;
                return i;
            } else {
                ++skipped_;
            }
            break;
        }
        case State::Start1: {
            const std::uint8_t b = data[i];
            if (b == kStart2) {
                ++i;
                state_ = State::Length;
            } else {
                // The 07 was stray; this byte may start the next frame (the
                // resync block ends in 07 07) or be a wake byte.
                ++skipped_;
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
