// What the count pass keeps of an image: its bytes per flash address, with
// contradictions refused, and a fingerprint of its record texts.

#include "hex_reader.h"
#include "hex_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talvex {
namespace {

using test::Bytes;
using test::Record;
using test::TempDir;

constexpr std::uint32_t kLimit = 0x8F800; // flash offsets 0 .. 0xF7FF

struct Counted {
    ImageCount count;
    ImageShadow shadow{kLimit};
};

Counted Count(const std::vector<std::string>& lines) {
    TempDir dir;
    std::string content;
    for (const auto& l : lines) content += l + "\n";
    CHexReader reader;
    Counted c;
    if (!reader.OpenImage(dir.Write("board.hex", content).string())) {
        ADD_FAILURE() << "cannot open the test image";
        return c;
    }
    c.count = CountImage(reader, "board.hex", nullptr, &c.shadow);
    return c;
}

const std::string kEnd = ":00000001FF";

TEST(CountImage, RefusesRecordsThatContradictEachOther) {
    const struct {
        const char* name;
        std::vector<std::string> lines;
        std::string message; // empty: accepted
    } cases[] = {
        {"same bytes repeated",
         {Record(0, 0x10, {1, 2, 3, 4}), Record(0, 0x10, {1, 2, 3, 4}), kEnd},
         ""},
        {"overlap that agrees",
         {Record(0, 0x10, {1, 2, 3, 4}), Record(0, 0x12, {3, 4, 5}), kEnd},
         ""},
        {"records that meet",
         {Record(0, 0x0, {0x11, 0x22, 0x33}), Record(0, 0x3, {0x44}), kEnd},
         ""},
        {"one byte differs",
         {Record(0, 0x10, {1, 2, 3, 4}), Record(0, 0x20, {9}), Record(0, 0x12, {3, 5}), kEnd},
         "Lines 1 and 3 of board.hex put different bytes at address 0x13."},
        {"the first place that differs is named",
         {Record(0, 0x100, {1, 2, 3, 4}), Record(0, 0x0FF, {0, 1, 7, 8, 9}), kEnd},
         "Lines 1 and 2 of board.hex put different bytes at address 0x101."},
        {"the earliest line that put the byte is named",
         {Record(0, 0x40, {6}), Record(0, 0x40, {6}), Record(0, 0x3F, {5, 7}), kEnd},
         "Lines 1 and 3 of board.hex put different bytes at address 0x40."},
        {"the same flash byte through an absolute address",
         {":020000040008F2", Record(0, 0x10, {0xAA}), ":020000040000FA", Record(0, 0x10, {0xAB}),
          kEnd},
         "Lines 2 and 4 of board.hex put different bytes at address 0x10."},
        {"records beyond the flash are left to the address check",
         {Record(0, 0xF800, {1}), Record(0, 0xF800, {2}), kEnd},
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Counted counted = Count(c.lines);
        EXPECT_EQ(counted.count.valid, c.message.empty());
        EXPECT_EQ(counted.count.message, c.message);
    }
}

TEST(ImageShadow, HoldsTheImageBytesOfTheFlashOnly) {
    const Counted c = Count(
        {Record(0, 0x1FE, {1, 2, 3, 4}), Record(0, 0xF7FF, {5}), Record(0, 0xF800, {6}), kEnd});
    ASSERT_TRUE(c.count.valid) << c.count.message;
    EXPECT_EQ(c.shadow.ByteAt(0x1FE), std::optional<std::uint8_t>(1));
    EXPECT_EQ(c.shadow.ByteAt(0x201), std::optional<std::uint8_t>(4));
    EXPECT_EQ(c.shadow.ByteAt(0x80201), std::optional<std::uint8_t>(4));
    EXPECT_EQ(c.shadow.ByteAt(0x202), std::nullopt);
    EXPECT_EQ(c.shadow.ByteAt(0xF7FF), std::optional<std::uint8_t>(5));
    EXPECT_EQ(c.shadow.ByteAt(0xF800), std::nullopt);
    // Pages 0, 1 and the last below the kernel; nothing beyond the flash.
    EXPECT_EQ(c.shadow.PageCount(), 3u);

    const std::uint8_t same[] = {2, 3};
    const std::uint8_t other[] = {2, 9};
    const std::uint8_t past[] = {4, 0xFF};
    EXPECT_TRUE(c.shadow.Agrees(0x1FF, same, 2));
    EXPECT_FALSE(c.shadow.Agrees(0x1FF, other, 2));
    EXPECT_FALSE(c.shadow.Agrees(0x201, past, 2)) << "a byte the image never put";
    EXPECT_TRUE(c.shadow.Agrees(0xF800, other, 2)) << "outside the flash: not its business";
}

TEST(ImageShadow, StaysBoundedByTheFlashWhateverTheFile) {
    // Every 64 KB segment of a 4 GB address space, each with one page of
    // data: only the segments inside the flash are kept.
    std::vector<std::string> lines;
    for (unsigned segment = 0; segment < 0x10000; segment += 0x11) {
        lines.push_back(Record(
            2, 0, {static_cast<std::uint8_t>(segment >> 8), static_cast<std::uint8_t>(segment)}));
        lines.push_back(Record(0, 0x100, std::vector<std::uint8_t>(255, 0x5A)));
    }
    lines.push_back(kEnd);
    const Counted c = Count(lines);
    ASSERT_TRUE(c.count.valid) << c.count.message;
    EXPECT_LE(c.shadow.PageCount(), (kLimit - 0x80000) / 512);
    EXPECT_GT(c.shadow.PageCount(), 0u);
}

TEST(PadToHalfwords, VerifyPadsCarryTheImageBytesWhereItHasThem) {
    const Counted c = Count({":0300000011223397", ":03000300445566FB", kEnd});
    ASSERT_TRUE(c.count.valid) << c.count.message;
    const struct {
        const char* name;
        std::uint32_t address;
        std::string data;
        const ImageShadow* image;
        std::uint32_t paddedAddress;
        std::string padded;
    } cases[] = {
        {"write pads are erased flash", 0x0, "112233", nullptr, 0x0, "112233FF"},
        {"verify pad after: the next record's byte", 0x0, "112233", &c.shadow, 0x0, "11223344"},
        {"verify pad before: the previous record's byte", 0x3, "445566", &c.shadow, 0x2,
         "33445566"},
        {"verify pad where the image has nothing", 0x7, "77", &c.shadow, 0x6, "FF77"},
        {"even record is left alone", 0x2, "3344", &c.shadow, 0x2, "3344"},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        HexRecord r;
        r.address = t.address;
        const auto bytes = Bytes(t.data);
        std::copy(bytes.begin(), bytes.end(), r.data);
        r.count = static_cast<std::int32_t>(bytes.size());
        PadToHalfwords(r, t.image);
        EXPECT_EQ(r.address, t.paddedAddress);
        EXPECT_EQ(std::vector<std::uint8_t>(r.data, r.data + r.count), Bytes(t.padded));
    }
}

TEST(CountImage, FingerprintsTheRecordTexts) {
    const std::string r1 = Record(0, 0x10, {1, 2});
    const std::string r2 = Record(0, 0x20, {3});
    const auto base = Count({r1, r2, kEnd}).count;
    ASSERT_TRUE(base.valid);
    EXPECT_EQ(Count({r1, r2, kEnd, "whatever follows"}).count.digest, base.digest);
    EXPECT_FALSE(Count({r1, r1, r2, kEnd}).count.digest == base.digest);
    EXPECT_FALSE(Count({r2, r1, kEnd}).count.digest == base.digest);
    EXPECT_FALSE(Count({r1, r2, ":00000001ff"}).count.digest == base.digest);
}

} // namespace
} // namespace talvex
