// The count pass: image size, and refusal of damaged images with a message
// that names the fault, the line and the file.

#include "hex_reader.h"
#include "hex_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

namespace talvex {
namespace {

using test::Record;
using test::TempDir;

std::string Lines(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

ImageCount CountText(const std::string& content, bool halfword = false) {
    TempDir dir;
    CHexReader reader;
    reader.SetHalfwordAlign(halfword);
    if (!reader.OpenImage(dir.Write("board.hex", content).string())) {
        ADD_FAILURE() << "cannot open the test image";
        return {};
    }
    return CountImage(reader, "board.hex");
}

const std::string kBase = ":020000040008F2";
const std::string kData1 = ":0400100001020304E2";
const std::string kData2 =
    ":03010100112233"
    "95";
const std::string kEnd = ":00000001FF";

TEST(CountImage, SumsDeliveredBytesWithoutPadding) {
    const struct {
        const char* name;
        std::string content;
        std::int32_t size;
    } cases[] = {
        {"end record first", Lines({kEnd, kData1}), 0},
        {"plain image", Lines({kBase, kData1, kData2, kEnd}), 7},
        {"end record without a line end", kBase + "\n" + kData1 + "\n" + kEnd, 4},
        {"records after the exact end record are not read",
         Lines({kData1, kEnd, kData2, "garbage"}), 4},
        {"lower-case end record does not end the pass", Lines({kData1, ":00000001ff", kData2}), 7},
        {"type 01 at another address does not end the pass",
         Lines({kData1, ":00000A01F5", kData2, kEnd}), 7},
        {"start address records are passed over",
         Lines({Record(3, 0, {0, 0, 0xFF, 0xF1}), Record(5, 0, {0, 0, 0x12, 0x34}), kData1, kEnd}),
         4},
        {"zero-length data record", Lines({":00001000F0", kData1, kEnd}), 4},
        {"255 data bytes fill 521 characters",
         Lines({Record(0, 0, std::vector<std::uint8_t>(255, 0xA5)), kEnd}), 255},
        {"type 04 whose byte count is wrong ends after value and checksum",
         Lines({":00000004000AF2", kData1, kEnd}), 4},
        {"end record followed by anything", Lines({kData1, kEnd + "\x1A"}), 4},
        {"several records on one line", kData1 + " " + kData2 + "\t" + kEnd, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageCount count = CountText(c.content);
        EXPECT_TRUE(count.valid) << count.message;
        EXPECT_EQ(count.size, c.size);
        EXPECT_EQ(count.message, "");
    }
}

TEST(CountImage, CountsOddRecordsUnpaddedOnHalfwordChips) {
    const std::vector<std::uint8_t> b3 = {1, 2, 3};
    const ImageCount count =
        CountText(Lines({Record(0, 0x101, b3), Record(0, 0x200, b3), Record(0, 0x301, {4}),
                         Record(0, 0x401, {5, 6}), kEnd}),
                  true);
    EXPECT_TRUE(count.valid) << count.message;
    EXPECT_EQ(count.size, 3 + 3 + 1 + 2);
}

TEST(CountImage, RefusesEveryKindOfDamageWithWhatAndWhere) {
    const std::string longRecord = kData1 + std::string(522 - kData1.size(), '0');
    const struct {
        const char* name;
        std::string content;
        std::string message;
    } cases[] = {
        {"wrong checksum",
         Lines({kBase, kData1,
                ":03010100112233"
                "96",
                kEnd}),
         "Bad checksum in line 3 of board.hex."},
        {"altered data byte", Lines({kBase, ":0400100001020305E2", kEnd}),
         "Bad checksum in line 2 of board.hex."},
        {"non-hex data character", Lines({kBase, ":04001000010G0304E2", kEnd}),
         "Unreadable record in line 2 of board.hex."},
        {"non-hex checksum character", Lines({kData1, ":03010100112233Z5", kEnd}),
         "Unreadable record in line 2 of board.hex."},
        {"missing colon", Lines({"0400100001020304E2", kEnd}),
         "Unreadable record in line 1 of board.hex."},
        {"non-hex byte count", Lines({":G400100001020304E2", kEnd}),
         "Unreadable record in line 1 of board.hex."},
        {"signed byte count", Lines({":+400100001020304E2", kEnd}),
         "Unreadable record in line 1 of board.hex."},
        {"0x in the offset", Lines({":010x1F00558B", kEnd}),
         "Unreadable record in line 1 of board.hex."},
        {"non-hex type", Lines({":040010G001020304E2", kEnd}),
         "Unreadable record in line 1 of board.hex."},
        {"lone colon", Lines({kData1, ":", kEnd}), "Unreadable record in line 2 of board.hex."},
        {"header cut short", Lines({kData1, ":0400100", kEnd}),
         "Unreadable record in line 2 of board.hex."},
        {"data cut short", Lines({kBase, kData1, ":04001000010203", kEnd}),
         "Data record in line 3 of board.hex is shorter than its byte count."},
        {"checksum missing", Lines({":0400100001020304", kEnd}),
         "Data record in line 1 of board.hex is shorter than its byte count."},
        {"one checksum digit", Lines({":01000000F1E", kEnd}),
         "Data record in line 1 of board.hex is shorter than its byte count."},
        {"blank inside a record", Lines({":04001000010 20304E2", kEnd}),
         "Data record in line 1 of board.hex is shorter than its byte count."},
        {"type 04 value cut short", Lines({":02000004000", kData1, kEnd}),
         "Extended address record in line 1 of board.hex lacks its four "
         "hexadecimal address digits."},
        {"type 02 value not hex", Lines({kData1, ":020000021G00EC", kEnd}),
         "Extended address record in line 2 of board.hex lacks its four "
         "hexadecimal address digits."},
        {"record over 521 characters", Lines({kBase, longRecord, kEnd}),
         "Record in line 2 of board.hex is longer than 521 characters."},
        {"end record over 521 characters", Lines({kData1, kEnd + std::string(600, 'F')}),
         "Record in line 2 of board.hex is longer than 521 characters."},
        {"letters after the checksum", Lines({kBase, kData1 + "XYZ", kEnd}),
         "Unreadable record in line 2 of board.hex."},
        {"digits after the checksum", Lines({kData1 + "00", kEnd}),
         "Unreadable record in line 1 of board.hex."},
        {"NUL after the checksum", Lines({kData1, kData1 + std::string(1, '\0'), kEnd}),
         "Unreadable record in line 2 of board.hex."},
        {"text after a type 04 record", Lines({kBase + "XYZ", kData1, kEnd}),
         "Unreadable record in line 1 of board.hex."},
        {"text after a start address record", Lines({kData1, ":0400000300001234B3ZZ", kEnd}),
         "Unreadable record in line 2 of board.hex."},
        {"no end record", Lines({kBase, kData1}), "board.hex ends without an end-of-file record."},
        {"empty file", "", "board.hex ends without an end-of-file record."},
        {"only whitespace", "\r\n \n\t", "board.hex ends without an end-of-file record."},
        {"damage after CR LF lines counted right",
         kBase + "\r\n" + kData1 + "\r\n\r\n" + ":0400100001020304E3\r\n" + kEnd,
         "Bad checksum in line 4 of board.hex."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageCount count = CountText(c.content);
        EXPECT_FALSE(count.valid);
        EXPECT_EQ(count.message, c.message);
    }
}

TEST(CountImage, RefusesEveryTruncationBeforeTheEndRecordType) {
    const std::string whole =
        Lines({kBase, kData1, kData2,
               Record(0, 0x20, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), kEnd});
    const ImageCount full = CountText(whole);
    ASSERT_TRUE(full.valid) << full.message;
    // Up to the end record's type field the image is incomplete; past it the
    // data are whole and the type-01 record is there, only shortened.
    const std::size_t endTypeRead = whole.rfind(kEnd) + 9;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        const ImageCount count = CountText(whole.substr(0, cut));
        if (cut < endTypeRead) {
            EXPECT_FALSE(count.valid) << "cut at " << cut;
            EXPECT_NE(count.message, "") << "cut at " << cut;
        } else {
            EXPECT_TRUE(count.valid) << "cut at " << cut;
            EXPECT_EQ(count.size, full.size);
        }
    }
}

TEST(CountImage, RefusesBinaryGarbage) {
    std::mt19937 rng(99);
    for (int round = 0; round < 20; ++round) {
        std::string garbage(2000, '\0');
        for (auto& c : garbage) c = static_cast<char>(rng());
        const ImageCount count = CountText(garbage);
        EXPECT_FALSE(count.valid);
        EXPECT_NE(count.message.find("board.hex"), std::string::npos) << count.message;
    }
}

TEST(CountImage, StopsWhenAskedWithoutAMessage) {
    TempDir dir;
    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(dir.Write("board.hex", Lines({kData1, kEnd})).string()));
    std::atomic<bool> stop{true};
    const ImageCount count = CountImage(reader, "board.hex", &stop);
    EXPECT_FALSE(count.valid);
    EXPECT_EQ(count.message, "");
    stop = false;
    EXPECT_TRUE(CountImage(reader, "board.hex", &stop).valid);
}

TEST(CountImage, ReportsAFileThatCannotBeRead) {
    CHexReader reader;
    EXPECT_EQ(CountImage(reader, "board.hex").message, "Cannot read board.hex.");
}

// AddressSanitizer checks every byte the count touches, which makes it
// several times slower; the bound holds the optimised build to account.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kCountSecondsLimit = 8.0;
#else
constexpr double kCountSecondsLimit = 2.0;
#endif

TEST(CountImage, CountsTenMegabytesOfRecordsQuickly) {
    TempDir dir;
    std::mt19937 rng(7);
    std::string content = kBase + "\r\n";
    std::int64_t expected = 0;
    std::uint32_t address = 0;
    while (content.size() < (10u << 20)) {
        if ((address & 0xFFFF) == 0 && address) {
            content +=
                Record(4, 0, {0, static_cast<std::uint8_t>((address >> 16) | 0x08)}) + "\r\n";
        }
        std::vector<std::uint8_t> bytes(16);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        content += Record(0, static_cast<std::uint16_t>(address), bytes) + "\r\n";
        expected += 16;
        address += 16;
    }
    content += kEnd + "\r\n";
    const auto path = dir.Write("big.hex", content).string();
    content.clear();
    content.shrink_to_fit();

    CHexReader reader;
    ASSERT_TRUE(reader.OpenImage(path));
    const double start = test::ProcessorSeconds();
    const ImageCount count = CountImage(reader, "big.hex");
    EXPECT_LT(test::ProcessorSeconds() - start, kCountSecondsLimit);
    EXPECT_TRUE(count.valid) << count.message;
    EXPECT_EQ(count.size, expected);
}

} // namespace
} // namespace talvex
