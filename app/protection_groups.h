#pragma once
// The protection units of a part, derived from the part database.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace talvex {

struct ProtectionGroup {
    std::uint32_t pageSize = 0;
    std::uint32_t firstPage = 0;
    std::uint32_t start = 0; // offset from the start of flash
    std::uint32_t end = 0;   // offset of the last byte, inclusive
    std::uint32_t pagesPerUnit = 0;
    std::uint32_t highWord = 0; // 1: bits 32..63 of the mask
    std::uint32_t firstBit = 0; // taken modulo 32 wherever used
    std::string name;           // "Read protection" or empty
};

using ProtectionGroupTable = std::array<ProtectionGroup, 8>;

ProtectionGroupTable BuildProtectionGroups(const std::string& partDbPath, const std::string& part);

// One protection unit: one list line of the Protection page, one mask bit.
struct ProtectionUnit {
    std::uint32_t start = 0; // offset from the start of flash
    std::uint32_t end = 0;   // offset of the last byte, inclusive
    std::uint32_t firstPage = 0;
    std::uint32_t lastPage = 0;
    bool highWord = false;
    std::uint32_t bit = 0; // 0..31 within its half of the mask
    std::string name;      // the group's name
};

// Every unit of the table in order: units of a group follow one another
// while a unit starts below the group's end; a group whose start equals its
// end ends the table.
std::vector<ProtectionUnit> ListProtectionUnits(const ProtectionGroupTable& table);

// The unit's bit in the 64-bit mask (0..63).
inline unsigned MaskBit(const ProtectionUnit& unit) {
    return (unit.highWord ? 32u : 0u) + unit.bit;
}

} // namespace talvex
