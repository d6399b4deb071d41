#pragma once
// Private-profile style access to an ini file: every call reads the file
// anew, and every write replaces the file atomically.

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvex::ini {

// The stored value, or the default (trailing blanks removed) when the file,
// section or key is missing; at most size - 1 characters.
std::string ReadText(const std::string& path, const std::string& section,
                     const std::string& key, const std::string& defaultText,
                     std::size_t size);

// The stored value read as an integer (sign, 0x/0o/0b prefixes, digits up to
// the first that does not belong), wrapped modulo 2^32; the default when the
// value is missing or empty.
std::uint32_t ReadInt(const std::string& path, const std::string& section,
                      const std::string& key, std::uint32_t defaultValue);

// Stores the value, creating file and section as needed and keeping every
// other line byte for byte. False when the file could not be replaced; the
// old file is then unchanged.
bool WriteText(const std::string& path, const std::string& section,
               const std::string& key, const std::string& value);

} // namespace talvex::ini
