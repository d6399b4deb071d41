// Record parsing: field reading, base folding, padding and the address a
// record leaves behind.

#include "hex_field.h"
#include "hex_reader.h"
#include "hex_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace talvex {
namespace {

using test::Bytes;
using test::Record;

TEST(HexDigitValue, MapsDigitsAndFoldsEverythingElseBy0x57) {
    const struct {
        char c;
        int value;
    } cases[] = {
        {'0', 0x00},
        {'9', 0x09},
        {'A', 0x0A},
        {'F', 0x0F},
        {'a', 0x0A},
        {'f', 0x0F},
        {'G', 0xF0},
        {'g', 0x10},
        {' ', 0xC9},
        {'\0', 0xA9},
        {static_cast<char>(0xFF), 0xA8},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HexDigitValue(c.c), c.value) << "character " << int(c.c);
    }
}

// Stored images were read with the C library's "%2x"/"%4lx"; every quirk of
// that conversion (signs, "0x", one digit then a non-digit, leading blanks)
// must come out the same.
TEST(HexField, ReadsExactlyAsTheLibraryConversion) {
    const std::string alphabet = "019aFgxX+- \t";
    std::vector<std::string> texts = {""};
    for (int len = 1; len <= 4; ++len) {
        std::vector<std::string> longer;
        for (const auto& t : texts) {
            if (t.size() + 1 != static_cast<std::size_t>(len)) continue;
            for (char c : alphabet) longer.push_back(t + c);
        }
        texts.insert(texts.end(), longer.begin(), longer.end());
    }
    int mismatches = 0;
    for (const auto& t : texts) {
        for (std::size_t pos = 0; pos <= t.size(); ++pos) {
            for (int width : {1, 2, 4}) {
                const std::string format = "%" + std::to_string(width) + "lx";
                unsigned long expected = 0xABCDE;
                const bool libraryRead =
                    std::sscanf(t.c_str() + pos, format.c_str(), &expected) == 1;
                std::uint32_t got = 0xABCDE;
                const bool read = hexfield::ScanHex(t, pos, width, got);
                if (read != libraryRead || (read && got != static_cast<std::uint32_t>(expected))) {
                    if (++mismatches < 10) {
                        ADD_FAILURE() << "'" << t << "' at " << pos << " width " << width;
                    }
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(IsEndRecord, MatchesOnlyTheExactUpperCaseText) {
    const struct {
        const char* text;
        bool end;
    } cases[] = {
        {":00000001FF", true}, {":00000001FFjunk", true}, {":00000001ff", false},
        {":00000001F", false}, {":00000A01F5", false},    {"", false},
        {"00000001FF", false}, {";00000001FF", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CHexReader::IsEndRecord(c.text), c.end) << c.text;
    }
}

struct ParseCase {
    const char* name;
    std::vector<std::string> before; // parsed first, in order
    std::string text;
    bool padding;
    bool halfword;
    std::int32_t count;
    std::uint32_t address;
    std::string data; // hex digits of the delivered bytes
};

std::vector<ParseCase> ParseCases() {
    const std::string plain = ":0400100001020304E2";
    const std::vector<std::uint8_t> b3 = {0x11, 0x22, 0x33};
    std::vector<std::uint8_t> b255;
    for (int i = 0; i < 255; ++i) b255.push_back(static_cast<std::uint8_t>(i));
    std::string all255;
    for (int i = 0; i < 255; ++i) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02X", i);
        all255 += buf;
    }
    return {
        {"plain data record", {}, plain, false, false, 4, 0x10, "01020304"},
        {"lower-case digits", {}, ":040010000a0b0c0dbe", false, false, 4, 0x10, "0A0B0C0D"},
        {"type 04 value 0008 folds to base 0",
         {":020000040008F2"},
         plain,
         false,
         false,
         4,
         0x10,
         "01020304"},
        {"type 04 value 0009 gives 0x10000",
         {":020000040009F1"},
         plain,
         false,
         false,
         4,
         0x10010,
         "01020304"},
        {"type 02 value 1000 gives 0x10000",
         {":020000021000EC"},
         ":0100040055A6",
         false,
         false,
         1,
         0x10004,
         "55"},
        {"type 02 value 8000 folds to base 0",
         {":0200000280007C"},
         plain,
         false,
         false,
         4,
         0x10,
         "01020304"},
        {"type 02 value 9000 gives 0x10000",
         {":0200000290006C"},
         plain,
         false,
         false,
         4,
         0x10010,
         "01020304"},
        {"type 04 count and checksum not looked at",
         {":FF000004000900"},
         plain,
         false,
         false,
         4,
         0x10010,
         "01020304"},
        {"type 04 non-hex value character",
         {":02000004001G00"},
         plain,
         false,
         false,
         4,
         0xF00010,
         "01020304"},
        {"type 04 lower-case value loses bit 19",
         {":02000004000af0"},
         plain,
         false,
         false,
         4,
         0x20010,
         "01020304"},
        {"type 02 non-hex value character",
         {":020000021g0000"},
         plain,
         false,
         false,
         4,
         0x10010,
         "01020304"},
        {"extended record without its value keeps the base",
         {":020000040001F9", ":0200000400"},
         plain,
         false,
         false,
         4,
         0x10010,
         "01020304"},
        {"data address does not wrap at 64K",
         {":020000040001F9"},
         ":01FFFF00AA57",
         false,
         false,
         1,
         0x1FFFF,
         "AA"},
        {"wrong checksum drops the record", {}, ":0400100001020304E3", false, false, 0, 0x10, ""},
        {"characters after the checksum ignored",
         {},
         plain + "junk",
         false,
         false,
         4,
         0x10,
         "01020304"},
        {"text ending before the checksum delivers nothing",
         {},
         ":0400100001020304",
         false,
         false,
         0,
         0x10,
         ""},
        {"text ending inside the data delivers nothing",
         {},
         ":04001000010203",
         false,
         false,
         0,
         0x10,
         ""},
        {"one checksum digit reads as the library reads it",
         {},
         ":01000000F1E",
         false,
         false,
         1,
         0x0,
         "F1"},
        {"plus sign in the byte count",
         {},
         ":+400100001020304E2",
         false,
         false,
         4,
         0x10,
         "01020304"},
        {"one-digit byte count", {}, ":1G00000055AA", false, false, 1, 0x0, "55"},
        {"0x prefix in the offset", {}, ":010x1F00558B", false, false, 1, 0x1F, "55"},
        {"negative byte count drops the record",
         {plain},
         ":-100200000FF",
         false,
         false,
         0,
         0x20,
         ""},
        {"unreadable data byte drops the record instead of stale data",
         {plain},
         ":02001000ZZ01EC",
         false,
         false,
         0,
         0x10,
         ""},
        {"unreadable byte count keeps the previous address",
         {plain},
         ":ZZ0020000000",
         false,
         false,
         0,
         0x10,
         ""},
        {"unreadable offset keeps the previous address",
         {plain},
         ":01ZZZZ00",
         false,
         false,
         0,
         0x10,
         ""},
        {"unreadable type gives the offset without base",
         {":020000040001F9", plain},
         ":010020ZZ00",
         false,
         false,
         0,
         0x20,
         ""},
        {"other type gives the offset without base",
         {":020000040001F9"},
         ":0012340366",
         false,
         false,
         0,
         0x1234,
         ""},
        {"non-exact type 01 delivers nothing",
         {":020000040001F9"},
         ":00123401b9",
         false,
         false,
         0,
         0x1234,
         ""},
        {"NUL ends the text",
         {},
         std::string(":04001000010203\0"
                     "04E2",
                     20),
         false,
         false,
         0,
         0x10,
         ""},
        {"255 data bytes", {}, Record(0, 0x0100, b255), false, false, 255, 0x100, all255},
        {"255 data bytes padded at an odd address",
         {},
         Record(0, 0x0101, b255),
         true,
         true,
         256,
         0x100,
         "FF" + all255},
        {"255 data bytes padded at an even address",
         {},
         Record(0, 0x0100, b255),
         true,
         true,
         256,
         0x100,
         all255 + "FF"},
        {"pad 3 bytes at 0x101 in front",
         {},
         Record(0, 0x0101, b3),
         true,
         true,
         4,
         0x100,
         "FF112233"},
        {"pad 3 bytes at 0x100 behind",
         {},
         Record(0, 0x0100, b3),
         true,
         true,
         4,
         0x100,
         "112233FF"},
        {"pad 1 byte at 0x101", {}, Record(0, 0x0101, {0x44}), true, true, 2, 0x100, "FF44"},
        {"pad 2 bytes at 0x101 on both sides",
         {},
         Record(0, 0x0101, {0x44, 0x55}),
         true,
         true,
         4,
         0x100,
         "FF4455FF"},
        {"even record stays as it is",
         {},
         Record(0, 0x0100, {0x44, 0x55}),
         true,
         true,
         2,
         0x100,
         "4455"},
        {"no padding without halfword chips",
         {},
         Record(0, 0x0101, b3),
         true,
         false,
         3,
         0x101,
         "112233"},
        {"no padding when not requested",
         {},
         Record(0, 0x0101, b3),
         false,
         true,
         3,
         0x101,
         "112233"},
        {"dropped record is not padded", {}, ":03010100112233FF", true, true, 0, 0x101, ""},
    };
}

TEST(ParseRecord, DeliversAddressCountAndDataAsTheFileSays) {
    for (const auto& c : ParseCases()) {
        SCOPED_TRACE(c.name);
        CHexReader reader;
        reader.SetHalfwordAlign(c.halfword);
        reader.ResetBase();
        for (const auto& t : c.before) reader.ParseRecord(t, c.padding);
        const HexRecord& r = reader.ParseRecord(c.text, c.padding);
        EXPECT_EQ(r.count, c.count);
        EXPECT_EQ(r.address, c.address);
        if (r.count == c.count) {
            EXPECT_EQ(std::vector<std::uint8_t>(r.data, r.data + r.count), Bytes(c.data));
        }
    }
}

TEST(ParseRecord, ResetBaseDropsTheExtendedBase) {
    CHexReader reader;
    reader.ParseRecord(":020000040001F9", false);
    EXPECT_EQ(reader.ParseRecord(":0400100001020304E2", false).address, 0x10010u);
    reader.ResetBase();
    EXPECT_EQ(reader.ParseRecord(":0400100001020304E2", false).address, 0x10u);
}

} // namespace
} // namespace talvex
