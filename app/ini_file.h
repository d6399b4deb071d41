#pragma once
// Private-profile style access to an ini file: every call reads the file
// anew, and every write replaces the file atomically.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace talvex::ini {

// Settings files and part databases are small; anything larger is not what
// the user meant (a log, an image, a device behind a link) and is refused
// unread rather than held in memory.
inline constexpr std::uint64_t kMaxFileBytes = 1u << 20;

// A size for ReadText that never cuts a stored value: none is longer than
// the file that holds it.
inline constexpr std::size_t kWholeValue = kMaxFileBytes + 1;

enum class FileStatus {
    Readable,   // a regular file of at most kMaxFileBytes
    Missing,    // no such file (a write creates it)
    Unreadable, // exists but cannot be opened or read
    Refused,    // not a regular file, or larger than kMaxFileBytes
};

struct FileCheck {
    FileStatus status = FileStatus::Missing;
    std::string reason; // for Unreadable and Refused, e.g. "read-only file"
};

// Whether the file can be read. Never blocks (a FIFO, a device) and never
// reads the content.
FileCheck CheckFile(const std::string& path);

// The stored value, or the default (trailing blanks removed) when the file,
// section or key is missing, or the file is unreadable or refused; at most
// size - 1 characters.
std::string ReadText(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& defaultText, std::size_t size);

// The stored value read as an integer (sign, 0x/0o/0b prefixes, digits up to
// the first that does not belong), wrapped modulo 2^32; the default when the
// value is missing or empty.
std::uint32_t ReadInt(const std::string& path, const std::string& section, const std::string& key,
                      std::uint32_t defaultValue);

// A value as the readers above would give it back once stored: blanks around
// it removed, one pair of matching quotes removed.
std::string ValueAsRead(std::string_view stored);

// ReadInt's reading of a value text; the default for an empty text.
std::uint32_t ParseInt(std::string_view text, std::uint32_t defaultValue);

// Stores the value, creating file and section as needed and keeping every
// other line byte for byte. False when the value was not stored; the old
// file is then unchanged, and whyNot (when given) says why, e.g.
// "read-only file", "the value holds a line break" or that the file would
// grow past kMaxFileBytes (it would then be refused by every later read).
bool WriteText(const std::string& path, const std::string& section, const std::string& key,
               const std::string& value, std::string* whyNot = nullptr);

} // namespace talvex::ini
