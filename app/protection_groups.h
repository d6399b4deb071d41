#pragma once
// The protection units of a part, derived from the part database.

#include <array>
#include <cstdint>
#include <string>

namespace talvex {

struct ProtectionGroup {
    std::uint32_t pageSize = 0;
    std::uint32_t firstPage = 0;
    std::uint32_t start = 0;        // offset from the start of flash
    std::uint32_t end = 0;          // offset of the last byte, inclusive
    std::uint32_t pagesPerUnit = 0;
    std::uint32_t highWord = 0;     // 1: bits 32..63 of the mask
    std::uint32_t firstBit = 0;     // taken modulo 32 wherever used
    std::string name;               // "Read protection" or empty
};

using ProtectionGroupTable = std::array<ProtectionGroup, 8>;

ProtectionGroupTable BuildProtectionGroups(const std::string& partDbPath,
                                           const std::string& part);

} // namespace talvex
