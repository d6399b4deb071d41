#include "protection_groups.h"

#include "part_db.h"

namespace talvex {
namespace {

constexpr std::uint32_t kPageSize = 512;

struct Builder {
    ProtectionGroupTable table{};
    std::size_t nextGroup = 0;
    std::uint32_t nextPage = 0;
    std::uint32_t nextOffset = 0;
    std::uint32_t nextBit = 0;

    const ProtectionGroup& Add(std::uint32_t firstPage, std::uint32_t start, std::uint32_t end,
                               std::uint32_t pagesPerUnit, bool highWord, std::uint32_t firstBit,
                               const char* name = "") {
        ProtectionGroup& g = table[nextGroup++];
        g.pageSize = kPageSize;
        g.firstPage = firstPage;
        g.start = start;
        g.end = end;
        g.pagesPerUnit = pagesPerUnit;
        g.highWord = highWord ? 1 : 0;
        g.firstBit = firstBit;
        g.name = name;
        return g;
    }
};

// Block 1 lies first, at the low offsets of the flash.
void AddBlock1(Builder& b, std::uint32_t size) {
    if (size == 0x10000) {
        b.Add(0, 0, 0xEFFF, 4, true, 0);
        b.Add(120, 0xF000, 0xFFFF, 8, true, 30);
        b.nextPage = 128;
        b.nextOffset = 0x10000;
        b.nextBit = 32;
    } else if (size == 0x8000) {
        // Kept as the chip family has always had it: the next bit is 31, not
        // 32, so a block 0 behind it starts on low bit 31.
        b.Add(0, 0, 0x77FF, 2, true, 0);
        b.Add(60, 0x7800, 0x7FFF, 4, true, 30);
        b.nextPage = 64;
        b.nextOffset = 0x8000;
        b.nextBit = 31;
    }
}

void AddBlock0(Builder& b, std::uint32_t size) {
    const std::uint32_t p = b.nextPage;
    const std::uint32_t s = b.nextOffset;
    const std::uint32_t bit = b.nextBit;
    if (size == 0x10000) {
        const ProtectionGroup& pages = b.Add(p, s, s + 0xF7FF, 4, false, bit);
        const std::uint32_t rp = pages.end + 1;
        b.Add(p + 124, rp, rp + 0x7FF, 4, false, bit + 31, "Read protection");
    } else if (size == 0x8000) {
        // Kept as it stands: these groups cover 0x8400 bytes and bit b + 60
        // falls on bit b + 28; the engine walks whatever the table gives.
        b.Add(p, s, s + 0x73FF, 2, false, bit);
        b.Add(p + 58, s + 0x7400, s + 0x7BFF, 2, false, bit + 30);
        b.Add(p + 62, s + 0x7C00, s + 0x83FF, 4, false, bit + 60, "Read protection");
    }
}

} // namespace

ProtectionGroupTable BuildProtectionGroups(const std::string& partDbPath, const std::string& part) {
    std::uint32_t romStart = 0x80000;
    std::uint32_t romEnd = 0x8F7FF;
    if (ScanHex0x(ReadPartKey(partDbPath, part, "ROMStart", "0x80000"), romStart)) {
        if (!ScanHex0x(ReadPartKey(partDbPath, part, "ROMEnd", "0x8F7FF"), romEnd)) {
            romEnd = 0x8F7FF;
        }
    } else {
        romStart = 0x80000;
    }

    std::uint32_t block0 = 0x10000;
    std::uint32_t block1 = 0;
    if (ScanHex0x(ReadPartKey(partDbPath, part, "FBlk0Sz", "0x10000"), block0)) {
        if (!ScanHex0x(ReadPartKey(partDbPath, part, "FBlk1Sz", "0x0"), block1)) block1 = 0;
    } else {
        block0 = 0x8000;
    }

    const std::uint32_t flashSize = romEnd - romStart + 1;
    if (!(flashSize > block0)) block1 = 0;

    Builder b;
    AddBlock1(b, block1);
    AddBlock0(b, block0);
    return b.table;
}

std::vector<ProtectionUnit> ListProtectionUnits(const ProtectionGroupTable& table) {
    std::vector<ProtectionUnit> units;
    for (const ProtectionGroup& g : table) {
        if (g.start == g.end) break;
        const std::uint64_t step = std::uint64_t{g.pagesPerUnit} * kPageSize;
        if (step == 0) continue; // a unit of no pages would never move on
        // 64-bit offsets: a group near the top of the address space must not
        // wrap around to its own start.
        std::uint32_t k = 0;
        for (std::uint64_t start = g.start; start < g.end; start += step, ++k) {
            ProtectionUnit u;
            u.start = static_cast<std::uint32_t>(start);
            u.end = static_cast<std::uint32_t>(start + step - 1);
            u.firstPage = g.firstPage + k * g.pagesPerUnit;
            u.lastPage = u.firstPage + g.pagesPerUnit - 1;
            u.highWord = g.highWord != 0;
            u.bit = (g.firstBit + k) % 32;
            u.name = g.name;
            units.push_back(std::move(u));
        }
    }
    return units;
}

} // namespace talvex
