#pragma once
// Text in the program is UTF-8; the Windows API's wide calls take UTF-16.
// The conversions live in wide_text_win32.cpp, for the Win32 backends only.

#include <string>

namespace talvex {

// Invalid UTF-8 becomes U+FFFD rather than a lost path.
std::wstring WideFromUtf8(const std::string& text);
// Unpaired surrogates become U+FFFD.
std::string Utf8FromWide(const std::wstring& text);

} // namespace talvex
