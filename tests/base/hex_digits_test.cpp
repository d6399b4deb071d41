#include "hex_digits.h"

#include <gtest/gtest.h>

#include <string_view>

namespace talvex {
namespace {

TEST(HexDigits, TakesBothCasesAndNothingElse) {
    const struct {
        char c;
        int value;
    } cases[] = {
        {'0', 0},  {'9', 9},  {'a', 10},  {'f', 15},    {'A', 10}, {'F', 15},
        {'/', -1}, {':', -1}, {'@', -1},  {'G', -1},    {'`', -1}, {'g', -1},
        {' ', -1}, {'x', -1}, {'\0', -1}, {'\xB0', -1}, {'-', -1}, {'+', -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("digit '") + c.c + "'");
        EXPECT_EQ(HexDigitOrNone(c.c), c.value);
    }
}

TEST(HexDigits, ScanStopsAtTheFirstOtherCharacterAndSaturates) {
    const struct {
        std::string_view text;
        std::size_t pos;
        std::size_t digits;
        std::uint32_t value;
    } cases[] = {
        {"", 0, 0, 0},
        {"zz", 0, 0, 0},
        {"1f", 0, 2, 0x1F},
        {"0x1F", 2, 2, 0x1F},
        {"DEADbeef,", 0, 8, 0xDEADBEEF},
        {"FFFFFFFF", 0, 8, 0xFFFFFFFF},
        // One digit too many: the C library's 32-bit conversions saturate,
        // and the digits are still all counted.
        {"100000000", 0, 9, 0xFFFFFFFF},
        {"123456789ABCDEF0123", 0, 19, 0xFFFFFFFF},
        {"00000000000000000001", 0, 20, 1},
        {"12 34", 0, 2, 0x12},
        {"12 34", 3, 2, 0x34},
        {"12", 2, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " from " + std::to_string(c.pos));
        std::uint32_t value = 0xA5A5A5A5;
        EXPECT_EQ(ScanHexDigits32(c.text, c.pos, value), c.digits);
        EXPECT_EQ(value, c.value);
    }
}

} // namespace
} // namespace talvex
