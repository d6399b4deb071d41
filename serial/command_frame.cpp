// Frames for the target's bootloader: layout, checksum and the verify rotation.

#include "command_frame.h"

#include <array>

namespace talvex {

std::uint8_t RotateLeft3(std::uint8_t b) { return static_cast<std::uint8_t>((b << 3) | (b >> 5)); }

std::uint8_t FrameChecksum(const std::uint8_t* fromLength, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += fromLength[i];
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::optional<CommandFrame> CommandFrame::Make(char letter, std::uint32_t value,
                                               const std::uint8_t* data, std::size_t count) {
    if (count > kMaxFrameData || (count > 0 && data == nullptr)) return std::nullopt;
    CommandFrame frame;
    std::vector<std::uint8_t>& b = frame.bytes_;
    b.reserve(count + kFrameOverhead);
    b.push_back(kFrameStart);
    b.push_back(kFrameStart2);
    b.push_back(static_cast<std::uint8_t>(kFrameLengthExtra + count));
    b.push_back(static_cast<std::uint8_t>(letter));
    b.push_back(static_cast<std::uint8_t>(value >> 24));
    b.push_back(static_cast<std::uint8_t>(value >> 16));
    b.push_back(static_cast<std::uint8_t>(value >> 8));
    b.push_back(static_cast<std::uint8_t>(value));
    if (count > 0) b.insert(b.end(), data, data + count);
    b.push_back(FrameChecksum(b.data() + kFrameLengthAt, b.size() - kFrameLengthAt));
    return frame;
}

CommandFrame CommandFrame::Erase(std::uint32_t offset, std::uint8_t pages) {
    return *Make('E', offset, &pages, 1);
}

CommandFrame CommandFrame::Protect(std::uint32_t value, std::uint8_t subCode) {
    return *Make('P', value, &subCode, 1);
}

CommandFrame CommandFrame::Run(std::uint32_t value) { return *Make('R', value, nullptr, 0); }

std::optional<CommandFrame> CommandFrame::Verify(std::uint32_t offset, const std::uint8_t* data,
                                                 std::size_t count) {
    if (count > kMaxFrameData || (count > 0 && data == nullptr)) return std::nullopt;
    std::array<std::uint8_t, kMaxFrameData> rotated{};
    for (std::size_t i = 0; i < count; ++i) rotated[i] = RotateLeft3(data[i]);
    return Make('V', offset, rotated.data(), count);
}

} // namespace talvex
