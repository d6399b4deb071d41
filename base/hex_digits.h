#pragma once
// Strict hexadecimal digits, as every reader of numbers in settings, part
// database, key and image uses them. The HEX reader's lenient digit rule for
// extended-address records is a different thing and stays in the reader.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace talvex {

// The value of one hexadecimal digit in either case, or -1 for anything else.
constexpr int HexDigitOrNone(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads digits from text[pos] up to the first other character into value,
// which saturates at 0xFFFFFFFF as the C library's 32-bit conversions do.
// Returns how many digits were read; value is 0 when none were.
inline std::size_t ScanHexDigits32(std::string_view text, std::size_t pos, std::uint32_t& value) {
    std::uint64_t number = 0;
    std::size_t i = pos;
    for (; i < text.size(); ++i) {
        const int digit = HexDigitOrNone(text[i]);
        if (digit < 0) break;
        if (number <= 0xFFFFFFFFu) number = number * 16 + static_cast<std::uint64_t>(digit);
    }
    value = number > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(number);
    return i - pos;
}

} // namespace talvex
