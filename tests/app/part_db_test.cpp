#include <gtest/gtest.h>

#include "part_db.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using testing::TempDir;
using testing::WriteBytes;

TEST(PartDb, ListsNamesInFileOrderWithOddLinesAsTheyCome) {
    TempDir dir;
    const std::string path = dir.File("zelchip.ini");
    WriteBytes(path,
               "; parts\n[ZaRQ4126]\nKStart=0x8F800\n[ZaRQ4120]\n [Indented]\n"
               "[ZaRQ41\n[]\n[a]b]\n[last]");
    EXPECT_EQ(ListParts(path),
              (std::vector<std::string>{"ZaRQ4126", "ZaRQ4120", "ZaRQ41\n", "", "a", "last"}));
}

TEST(PartDb, LongLinesAreReadInPiecesOf511) {
    TempDir dir;
    const std::string path = dir.File("zelchip.ini");
    // The second piece of the long line begins with "[" and counts as a line.
    std::string line = "x" + std::string(510, 'y') + "[Piece]" + std::string(600, 'z') + "\n";
    std::string longName = "[" + std::string(700, 'n') + "]\n";
    WriteBytes(path, line + longName);
    std::vector<std::string> parts = ListParts(path);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], "Piece");
    EXPECT_EQ(parts[1], std::string(510, 'n')) << "a name is cut at the piece end";
}

TEST(PartDb, MissingFile) {
    TempDir dir;
    EXPECT_FALSE(PartDbPresent(dir.File("zelchip.ini")));
    EXPECT_FALSE(PartDbPresent(dir.Dir())) << "a folder is no part database";
    EXPECT_TRUE(ListParts(dir.File("zelchip.ini")).empty());
    EXPECT_EQ(ReadPartKey(dir.File("zelchip.ini"), "ZaRQ4126", "KStart", "-1"), "-1");
    WriteBytes(dir.File("zelchip.ini"), "");
    EXPECT_TRUE(PartDbPresent(dir.File("zelchip.ini")));
}

TEST(PartDb, KeysReadWithA256CharacterBuffer) {
    TempDir dir;
    const std::string path = dir.File("zelchip.ini");
    WriteBytes(path, "[ZaRQ4126]\nkstart=0x8F800\nROMEnd=" + std::string(300, '7') + "\n");
    EXPECT_EQ(ReadPartKey(path, "zarq4126", "KStart", "-1"), "0x8F800");
    EXPECT_EQ(ReadPartKey(path, "ZaRQ4126", "ROMEnd", "-1").size(), 255u);
    EXPECT_EQ(ReadPartKey(path, "ZaRQ4126", "KEnd", "-1"), "-1");
}

TEST(PartDb, ScanHex0x) {
    struct Case {
        const char* text;
        bool scans;
        std::uint32_t value;
    } cases[] = {
        {"0x80000", true, 0x80000},
        {"0x8f7ff", true, 0x8F7FF},
        {"0x0", true, 0},
        {"0xFFFFFFFF", true, 0xFFFFFFFF},
        {"0x100000000", true, 0xFFFFFFFF},
        {"0x123456789abcdef0123", true, 0xFFFFFFFF},
        {"0x10000junk", true, 0x10000},
        {"0X80000", false, 0},
        {"80000", false, 0},
        {"0x", false, 0},
        {"0xg", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"64K", false, 0},
        {" 0x10", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t value = 12345;
        EXPECT_EQ(ScanHex0x(c.text, value), c.scans) << c.text;
        EXPECT_EQ(value, c.scans ? c.value : 12345u) << c.text;
    }
}

} // namespace
} // namespace talvex
