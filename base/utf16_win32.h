#pragma once
// Names across the Win32 boundary: the core's UTF-8 names to the UTF-16 that
// the wide calls take, and the names those calls give back to UTF-8. Only
// the Win32 backends use this; the header needs no Windows header.

#include <optional>
#include <string>
#include <string_view>

namespace talvex {

// The UTF-16 form of a name for a wide call. A name that is no UTF-8 is read
// in the ANSI code page instead: settings files written by older versions
// hold names so, and the narrow calls opened them. nullopt when neither
// reads it; whyNot then says why, e.g. "the name is not valid UTF-8: byte 3
// (0xff) is not UTF-8".
std::optional<std::wstring> WideName(std::string_view name, std::string* whyNot = nullptr);

// The UTF-8 form of a name that a wide call gave; nullopt with whyNot for a
// name Windows allows but Unicode does not (an unpaired surrogate).
std::optional<std::string> Utf8Name(std::wstring_view name, std::string* whyNot = nullptr);

// Text to show, not a name to open: nothing may be refused, so invalid
// UTF-8 and unpaired surrogates become U+FFFD.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

} // namespace talvex
