#pragma once
// The part database (zelchip.ini): read only.

#include <cstdint>
#include <string>
#include <vector>

namespace talvex {

struct PartDbCheck {
    bool present = false; // a regular file that can be read
    std::string reason;   // why a file that exists cannot be used; empty otherwise
};

// Whether the part database can be used. A folder, a FIFO, a device, a file
// larger than 1 MB or one that cannot be read counts as missing, and the
// reason says which.
PartDbCheck CheckPartDb(const std::string& path);

// True when the part database can be used (CheckPartDb(path).present).
bool PartDbPresent(const std::string& path);

// Every line whose first character is "[" gives a name (up to "]" or the end
// of the 511-character piece, line break included), in file order.
std::vector<std::string> ListParts(const std::string& path);

// A key of a part section, read with a 256-character buffer.
std::string ReadPartKey(const std::string& path, const std::string& part, const std::string& key,
                        const std::string& defaultText);

// Scans "0x" followed by hexadecimal digits as an unsigned 32-bit number
// (too many digits give 0xFFFFFFFF); false when there is no digit after "0x".
bool ScanHex0x(const std::string& text, std::uint32_t& value);

} // namespace talvex
