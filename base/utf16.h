#pragma once
// UTF-8 and UTF-16, both ways, strictly: the core keeps every name as UTF-8,
// and Windows wants UTF-16 for names that are not plain ASCII. A text that
// has no exact counterpart (bad UTF-8, an unpaired surrogate) is refused
// with the reason, never patched with a replacement character: a patched
// file name opens another file, or none, without a word.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace talvex {

// The UTF-16 form of a UTF-8 text; nullopt when the text is not valid UTF-8
// (overlong forms, encoded surrogates and values past U+10FFFF included), and
// whyNot, when given, says what and where, e.g. "byte 3 (0xff) is not UTF-8".
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8, std::string* whyNot = nullptr);

// The UTF-8 form of a UTF-16 text; nullopt when it holds an unpaired
// surrogate, with whyNot as above.
std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16, std::string* whyNot = nullptr);

// A path object for a UTF-8 name, and a path's name as UTF-8: the standard
// library's plain string conversions use the ANSI code page on Windows.
// A name that is no UTF-8 is taken in the ANSI code page on Windows (older
// settings files hold names so) and as the bytes it is elsewhere; a path
// that has no UTF-8 form gives an empty text.
std::filesystem::path PathFromUtf8(const std::string& utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

} // namespace talvex
