#include <gtest/gtest.h>

#include "protection_groups.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using testing::TempDir;
using testing::WriteBytes;

std::vector<ProtectionUnit> UnitsFor(const std::string& partSection) {
    TempDir dir;
    const std::string path = dir.File("zelchip.ini");
    WriteBytes(path, "[P]\n" + partSection);
    return ListProtectionUnits(BuildProtectionGroups(path, "P"));
}

// Checks a run of units: count, spacing, pages, bits and half of the mask.
void ExpectRun(const std::vector<ProtectionUnit>& units, std::size_t first, std::size_t count,
               std::uint32_t start, std::uint32_t pages, std::uint32_t firstPage, bool high,
               std::uint32_t firstBit, const std::string& name = "") {
    ASSERT_LE(first + count, units.size());
    for (std::size_t k = 0; k < count; ++k) {
        const ProtectionUnit& u = units[first + k];
        SCOPED_TRACE("unit " + std::to_string(first + k));
        EXPECT_EQ(u.start, start + k * pages * 512);
        EXPECT_EQ(u.end, u.start + pages * 512 - 1);
        EXPECT_EQ(u.firstPage, firstPage + k * pages);
        EXPECT_EQ(u.lastPage, u.firstPage + pages - 1);
        EXPECT_EQ(u.highWord, high);
        EXPECT_EQ(u.bit, (firstBit + k) % 32);
        EXPECT_EQ(u.name, name);
    }
}

void ExpectDefaultLayout(const std::vector<ProtectionUnit>& units) {
    ASSERT_EQ(units.size(), 32u);
    ExpectRun(units, 0, 31, 0x0, 4, 0, false, 0);
    ExpectRun(units, 31, 1, 0xF800, 4, 124, false, 31, "Read protection");
    EXPECT_EQ(units[31].end, 0xFFFFu);
}

TEST(ProtectionGroups, DefaultLayoutFromMissingDatabaseOrKeys) {
    ExpectDefaultLayout(ListProtectionUnits(BuildProtectionGroups("/no/such/zelchip.ini", "P")));
    ExpectDefaultLayout(UnitsFor(""));
    ExpectDefaultLayout(UnitsFor("ROMStart=0x80000\nROMEnd=0x8F7FF\nFBlk0Sz=0x10000\n"));
}

TEST(ProtectionGroups, TwoBlocksOf64K) {
    TempDir dir;
    const std::string path = dir.File("zelchip.ini");
    WriteBytes(path, "[P]\nROMStart=0x80000\nROMEnd=0x9F7FF\nFBlk0Sz=0x10000\nFBlk1Sz=0x10000\n");
    ProtectionGroupTable table = BuildProtectionGroups(path, "P");
    EXPECT_EQ(table[3].firstBit, 63u) << "first bit is stored unreduced";
    EXPECT_EQ(table[4].start, table[4].end) << "table ends after four groups";
    std::vector<ProtectionUnit> units = ListProtectionUnits(table);
    ASSERT_EQ(units.size(), 63u);
    ExpectRun(units, 0, 30, 0x0, 4, 0, true, 0);
    ExpectRun(units, 30, 1, 0xF000, 8, 120, true, 30);
    ExpectRun(units, 31, 31, 0x10000, 4, 128, false, 0);
    ExpectRun(units, 62, 1, 0x1F800, 4, 252, false, 31, "Read protection");
    EXPECT_EQ(MaskBit(units[30]), 62u);
    EXPECT_EQ(MaskBit(units[62]), 31u);
}

TEST(ProtectionGroups, BlockSizesThatDoNotScanOrDoNotFit) {
    // Block 1 is ignored when the flash is no larger than block 0.
    ExpectDefaultLayout(
        UnitsFor("ROMStart=0x80000\nROMEnd=0x8FFFF\nFBlk0Sz=0x10000\nFBlk1Sz=0x10000\n"));
    // ROMStart that does not scan: ROMEnd is not read, 0x8F7FF stands, block 1 ignored.
    ExpectDefaultLayout(
        UnitsFor("ROMStart=0X80000\nROMEnd=0x9F7FF\nFBlk0Sz=0x10000\nFBlk1Sz=0x10000\n"));
    // Unknown block sizes give no units at all.
    EXPECT_TRUE(UnitsFor("FBlk0Sz=0x20000\n").empty());

    // FBlk0Sz present but not "0x...": block 0 of 0x8000, FBlk1Sz not read.
    std::vector<ProtectionUnit> units =
        UnitsFor("ROMStart=0x80000\nROMEnd=0x9F7FF\nFBlk0Sz=64K\nFBlk1Sz=0x10000\n");
    ASSERT_EQ(units.size(), 32u);
    ExpectRun(units, 0, 29, 0x0, 2, 0, false, 0);
    ExpectRun(units, 29, 2, 0x7400, 2, 58, false, 30);
    ExpectRun(units, 31, 1, 0x7C00, 4, 62, false, 28, "Read protection");
}

TEST(ProtectionGroups, Block1Of32KBeforeBlock0Of64K) {
    std::vector<ProtectionUnit> units =
        UnitsFor("ROMStart=0x80000\nROMEnd=0x97FFF\nFBlk0Sz=0x10000\nFBlk1Sz=0x8000\n");
    ASSERT_EQ(units.size(), 63u);
    ExpectRun(units, 0, 30, 0x0, 2, 0, true, 0);
    ExpectRun(units, 30, 1, 0x7800, 4, 60, true, 30);
    ExpectRun(units, 31, 31, 0x8000, 4, 64, false, 31);
    ExpectRun(units, 62, 1, 0x17800, 4, 188, false, 30, "Read protection");
}

TEST(ProtectionGroups, UnitWalkStopsOnBadGroups) {
    ProtectionGroupTable table{};
    table[0] = {512, 0, 0xFFFFF000, 0xFFFFFFFF, 4, 0, 0, ""}; // would wrap in 32 bits
    table[1] = {512, 0, 0, 0x1000, 0, 0, 0, ""};              // no pages per unit
    table[2] = {512, 0, 0, 0x7FF, 4, 0, 5, ""};
    std::vector<ProtectionUnit> units = ListProtectionUnits(table);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[1].start, 0xFFFFF800u);
    EXPECT_EQ(units[2].bit, 5u);
}

} // namespace
} // namespace talvex
