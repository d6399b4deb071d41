#pragma once
// Field readers shared by the HEX reader and its tests. Not part of the
// engine's interface.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace talvex::hexfield {

// Reads a hexadecimal number of at most `width` characters starting at `pos`,
// with the rules of the C library's "%<width>x" conversion: leading
// whitespace skipped (not counted), an optional '+' or '-' and an optional
// "0x" prefix counted against the width, a lone "0x" read as 0, a negative
// number wrapped to unsigned. Stored images were written against that
// conversion, so its leniency is kept exactly. The text ends at its end or at
// a NUL. Returns false where the conversion would fail; `value` is then left
// untouched.
bool ScanHex(std::string_view text, std::size_t pos, int width, std::uint32_t& value);

// Strict check: `count` characters from `pos` exist and are all hexadecimal
// digits (no sign, no prefix).
bool AllHexDigits(std::string_view text, std::size_t pos, std::size_t count);

// Two hexadecimal digits (already checked) to their byte value.
std::uint8_t StrictByte(std::string_view text, std::size_t pos);

} // namespace talvex::hexfield
