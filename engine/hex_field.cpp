#include "hex_field.h"

#include "hex_digits.h"

namespace talvex::hexfield {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A table of the common digit rule, because every character of every
// record passes through here several times per pass.
struct DigitTable {
    signed char value[256];
    constexpr DigitTable() : value() {
        for (int i = 0; i < 256; ++i) {
            value[i] = static_cast<signed char>(HexDigitOrNone(static_cast<char>(i)));
        }
    }
};
constexpr DigitTable kDigits;

int DigitOrMinus1(char c) { return kDigits.value[static_cast<unsigned char>(c)]; }

} // namespace

bool ScanHex(std::string_view text, std::size_t pos, int width, std::uint32_t& value) {
    // A NUL ends the text, as it ends the C string the conversion reads.
    auto at = [&](std::size_t i) -> char { return i < text.size() ? text[i] : '\0'; };
    if (pos >= text.size() || width <= 0) return false;
    std::size_t i = pos;
    while (at(i) != '\0' && IsSpace(at(i))) ++i;
    if (at(i) == '\0') return false;

    bool negative = false;
    bool sawDigit = false;
    std::uint32_t v = 0;
    if (at(i) == '+' || at(i) == '-') {
        negative = at(i) == '-';
        ++i;
        --width;
    }
    if (width != 0 && at(i) == '0') {
        sawDigit = true;
        ++i;
        --width;
        if (width != 0 && (at(i) == 'x' || at(i) == 'X')) {
            ++i;
            --width;
        }
    }
    while (width != 0) {
        const int d = DigitOrMinus1(at(i));
        if (d < 0) break;
        // Wraps like the library's unsigned conversion; widths here are at
        // most four digits, so it never does.
        v = v * 16u + static_cast<std::uint32_t>(d);
        sawDigit = true;
        ++i;
        --width;
    }
    if (!sawDigit) return false;
    value = negative ? 0u - v : v;
    return true;
}

bool AllHexDigits(std::string_view text, std::size_t pos, std::size_t count) {
    if (pos > text.size() || text.size() - pos < count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (DigitOrMinus1(text[pos + i]) < 0) return false;
    }
    return true;
}

std::uint8_t StrictByte(std::string_view text, std::size_t pos) {
    return static_cast<std::uint8_t>(DigitOrMinus1(text[pos]) * 16 + DigitOrMinus1(text[pos + 1]));
}

} // namespace talvex::hexfield
