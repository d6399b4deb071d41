// Frame layout: the worked frames the bootloader is known to accept.

#include "command_frame.h"

#include <gtest/gtest.h>

#include <numeric>

namespace talvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CommandFrameLayout, MatchesTheWorkedFrames) {
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    const struct {
        const char* what;
        std::optional<CommandFrame> frame;
        Bytes expect;
    } cases[] = {
        {"mass erase", CommandFrame::Erase(0, 0), {0x07, 0x0E, 0x06, 0x45, 0, 0, 0, 0, 0x00, 0xB5}},
        {"page 0x200",
         CommandFrame::Erase(0x200, 1),
         {0x07, 0x0E, 0x06, 0x45, 0, 0, 2, 0, 0x01, 0xB2}},
        {"begin protection",
         CommandFrame::Protect(0, 0x00),
         {0x07, 0x0E, 0x06, 0x50, 0, 0, 0, 0, 0x00, 0xAA}},
        {"protect 0x80000",
         CommandFrame::Protect(0x80000, 0x0F),
         {0x07, 0x0E, 0x06, 0x50, 0, 0x08, 0, 0, 0x0F, 0x93}},
        {"run", CommandFrame::Run(0), {0x07, 0x0E, 0x05, 0x52, 0, 0, 0, 0, 0xA9}},
        {"reset", CommandFrame::Run(1), {0x07, 0x0E, 0x05, 0x52, 0, 0, 0, 1, 0xA8}},
        {"write abc",
         CommandFrame::Make('W', 0x100, abc, 3),
         {0x07, 0x0E, 0x08, 0x57, 0, 0, 1, 0, 0x61, 0x62, 0x63, 0x7A}},
        {"verify abc",
         CommandFrame::Verify(0x100, abc, 3),
         {0x07, 0x0E, 0x08, 0x56, 0, 0, 1, 0, 0x0B, 0x13, 0x1B, 0x68}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.frame.has_value()) << c.what;
        EXPECT_EQ(c.frame->Bytes(), c.expect) << c.what;
    }
}

TEST(CommandFrameLayout, ValueGoesMostSignificantByteFirst) {
    const auto frame = CommandFrame::Make('W', 0x12345678, nullptr, 0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(Bytes(frame->Bytes().begin() + 4, frame->Bytes().begin() + 8),
              (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(frame->Letter(), 'W');
}

TEST(CommandFrameLayout, CarriesUpTo250DataBytesAndRefusesMoreWithoutTruncating) {
    Bytes data(251);
    std::iota(data.begin(), data.end(), std::uint8_t{0x80});
    const auto full = CommandFrame::Make('W', 0xFFFFFFFF, data.data(), 250);
    ASSERT_TRUE(full);
    const Bytes& b = full->Bytes();
    ASSERT_EQ(b.size(), 259u); // 2 start bytes, length, letter, value, data, checksum
    EXPECT_EQ(b[2], 255);
    EXPECT_EQ(Bytes(b.begin() + 8, b.end() - 1), Bytes(data.begin(), data.begin() + 250));
    // Length to checksum adds up to zero modulo 256.
    EXPECT_EQ(std::accumulate(b.begin() + 2, b.end(), 0u) % 256, 0u);

    EXPECT_FALSE(CommandFrame::Make('W', 0, data.data(), 251));
    EXPECT_FALSE(CommandFrame::Verify(0, data.data(), 251));
    EXPECT_FALSE(CommandFrame::Make('W', 0, nullptr, 4));
}

TEST(CommandFrameLayout, VerifyRotatesEveryDataByteLeftByThree) {
    const std::pair<std::uint8_t, std::uint8_t> rotations[] = {
        {0x00, 0x00}, {0x01, 0x08}, {0x20, 0x01}, {0x80, 0x04},
        {0x61, 0x0B}, {0xFF, 0xFF}, {0xA5, 0x2D}};
    for (const auto& [in, out] : rotations) EXPECT_EQ(RotateLeft3(in), out) << int(in);
    Bytes all(250);
    std::iota(all.begin(), all.end(), std::uint8_t{0});
    const auto frame = CommandFrame::Verify(0, all.data(), all.size());
    ASSERT_TRUE(frame);
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(frame->Bytes()[8 + i], RotateLeft3(all[i])) << i;
    EXPECT_EQ(std::accumulate(frame->Bytes().begin() + 2, frame->Bytes().end(), 0u) % 256, 0u);
}

} // namespace
} // namespace talvex
