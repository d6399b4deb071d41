// The packer alone: which frames records become, with and without packing,
// on byte and halfword chips, and what a refused frame stops.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "frame_packer.h"

namespace talvex::testing {
namespace {

struct Rec {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
};

struct Span {
    std::uint32_t address;
    std::size_t count;
    bool operator==(const Span&) const = default;
};

void PrintTo(const Span& s, std::ostream* os) {
    *os << "0x" << std::hex << s.address << "+" << std::dec << s.count;
}

struct Sent {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
    std::uint64_t recordBytes;
};

// Distinct bytes, none of them 0xFF, so that a pad never passes for data.
std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t seed) {
    std::vector<std::uint8_t> b(count);
    for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>((seed + i * 7) % 0xF0);
    return b;
}

// A record as a halfword chip gets it: widened with 0xFF to even ends.
Rec Padded(std::uint32_t address, std::vector<std::uint8_t> bytes) {
    if (address & 1u) {
        bytes.insert(bytes.begin(), 0xFF);
        --address;
    }
    if (bytes.size() & 1u) bytes.push_back(0xFF);
    return {address, bytes};
}

std::vector<Sent> Pack(std::size_t limit, bool halfword, const std::vector<Rec>& records) {
    std::vector<Sent> sent;
    FramePacker packer(limit, halfword, [&](const DataFrame& f) {
        sent.push_back(
            {f.address, std::vector<std::uint8_t>(f.data, f.data + f.count), f.recordBytes});
        return true;
    });
    for (const Rec& r : records) EXPECT_TRUE(packer.Add(r.address, r.bytes.data(), r.bytes.size()));
    EXPECT_TRUE(packer.Flush());
    EXPECT_FALSE(packer.Holding());
    return sent;
}

// Flash after writing: erased, and every byte written ANDed in.
std::map<std::uint32_t, std::uint8_t> Written(const std::vector<Rec>& records) {
    std::map<std::uint32_t, std::uint8_t> flash;
    for (const Rec& r : records) {
        for (std::size_t i = 0; i < r.bytes.size(); ++i) {
            auto [it, added] = flash.try_emplace(r.address + static_cast<std::uint32_t>(i), 0xFF);
            it->second &= r.bytes[i];
        }
    }
    return flash;
}

struct PackCase {
    const char* name;
    std::size_t limit;
    bool halfword;
    std::vector<Rec> records;
    std::vector<Span> frames;
};

void PrintTo(const PackCase& c, std::ostream* os) { *os << c.name; }

class FramePackerTest : public ::testing::TestWithParam<PackCase> {};

TEST_P(FramePackerTest, FramesFollowTheRules) {
    const PackCase& c = GetParam();
    const auto sent = Pack(c.limit, c.halfword, c.records);

    std::vector<Span> spans;
    std::vector<Rec> asRecords;
    std::uint64_t recordBytes = 0;
    for (const Sent& s : sent) {
        spans.push_back({s.address, s.bytes.size()});
        asRecords.push_back({s.address, s.bytes});
        recordBytes += s.recordBytes;
        if (c.limit > 0) {
            EXPECT_LE(s.bytes.size(), c.limit);
            EXPECT_EQ(s.address / 512, (s.address + s.bytes.size() - 1) / 512)
                << "frame at 0x" << std::hex << s.address << " crosses a page";
        }
        if (c.halfword) {
            EXPECT_EQ(s.address % 2, 0u);
            EXPECT_EQ(s.bytes.size() % 2, 0u);
        }
    }
    EXPECT_EQ(spans, c.frames);
    // The frames leave the flash as the records one by one would.
    EXPECT_EQ(Written(asRecords), Written(c.records));
    std::uint64_t given = 0;
    for (const Rec& r : c.records) given += r.bytes.size();
    EXPECT_EQ(recordBytes, given) << "progress adds up as unpacked";
}

std::vector<Rec> Contiguous(std::uint32_t start, std::size_t records, std::size_t size) {
    std::vector<Rec> run;
    for (std::size_t i = 0; i < records; ++i) {
        run.push_back({start + static_cast<std::uint32_t>(i * size),
                       Bytes(size, static_cast<std::uint8_t>(i))});
    }
    return run;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FramePackerTest,
    ::testing::Values(
        // Off: every record is a frame of its own, as records always went.
        PackCase{"OffOneFramePerRecord",
                 0,
                 false,
                 {{0x0, Bytes(16, 1)}, {0x10, Bytes(16, 2)}, {0x1F8, Bytes(16, 3)}},
                 {{0x0, 16}, {0x10, 16}, {0x1F8, 16}}},
        PackCase{"OffLongRecordInPiecesOf250",
                 0,
                 false,
                 {{0x100, Bytes(255, 4)}},
                 {{0x100, 250}, {0x1FA, 5}}},
        PackCase{"OffHalfwordNeighboursKeepTheirPads",
                 0,
                 true,
                 {Padded(0x0, {0x11, 0x22, 0x33}), Padded(0x3, {0x44, 0x55, 0x66})},
                 {{0x0, 4}, {0x2, 4}}},
        // On: bytes that follow on share frames.
        PackCase{
            "ContiguousRecordsJoin", 64, false, Contiguous(0x0, 5, 16), {{0x0, 64}, {0x40, 16}}},
        PackCase{"GoingBackEndsTheFrame",
                 64,
                 false,
                 {{0x20, Bytes(16, 1)}, {0x30, Bytes(16, 2)}, {0x0, Bytes(16, 3)}},
                 {{0x20, 32}, {0x0, 16}}},
        PackCase{"ByteChipsNeverMergeAnOverlap",
                 64,
                 false,
                 {{0x0, Bytes(16, 1)}, {0xE, {Bytes(16, 1)[14], Bytes(16, 1)[15], 9, 9}}},
                 {{0x0, 16}, {0xE, 4}}},
        PackCase{"RecordAcrossAPageIsCutThere",
                 250,
                 false,
                 {{0x1F8, Bytes(16, 1)}, {0x208, Bytes(8, 2)}},
                 {{0x1F8, 8}, {0x200, 16}}},
        PackCase{"LimitCutsRecords",
                 10,
                 false,
                 Contiguous(0x0, 2, 16),
                 {{0x0, 10}, {0xA, 10}, {0x14, 10}, {0x1E, 2}}},
        PackCase{"LongRecordsAcrossPages",
                 250,
                 false,
                 {{0x100, Bytes(255, 1)}, {0x1FF, Bytes(255, 2)}},
                 {{0x100, 250}, {0x1FA, 6}, {0x200, 250}, {0x2FA, 4}}},
        // Halfword chips: padded neighbours share the halfword between them.
        PackCase{"HalfwordSharedHalfwordGoesOnce",
                 64,
                 true,
                 {Padded(0x0, {0x11, 0x22, 0x33}), Padded(0x3, {0x44, 0x55, 0x66})},
                 {{0x0, 6}}},
        PackCase{"HalfwordSharedHalfwordOfAFullFrame",
                 4,
                 true,
                 {Padded(0x0, {0x11, 0x22, 0x33}), Padded(0x3, {0x44, 0x55, 0x66})},
                 {{0x0, 4}, {0x4, 2}}},
        PackCase{"HalfwordSharedHalfwordAtAPageEnd",
                 250,
                 true,
                 {Padded(0x1FC, {0x11, 0x22, 0x33}), Padded(0x1FF, {0x44, 0x55, 0x66})},
                 {{0x1FC, 4}, {0x200, 2}}},
        // Padding may close a gap of the file: erased flash goes there
        // unpacked too.
        PackCase{"HalfwordPadsThatMeetJoin",
                 64,
                 true,
                 {Padded(0x0, {1, 2, 3}), Padded(0x5, {4, 5})},
                 {{0x0, 8}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FramePacker, SharedHalfwordCarriesTheBytesOfBothRecords) {
    // Written: the other record's pad is erased flash. Verified: it is the
    // image's own byte already.
    const std::vector<std::uint8_t> image = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    const auto write =
        Pack(64, true, {Padded(0x0, {0x11, 0x22, 0x33}), Padded(0x3, {0x44, 0x55, 0x66})});
    const auto verify =
        Pack(64, true, {{0x0, {0x11, 0x22, 0x33, 0x44}}, {0x2, {0x33, 0x44, 0x55, 0x66}}});
    for (const auto* sent : {&write, &verify}) {
        ASSERT_EQ(sent->size(), 1u);
        EXPECT_EQ((*sent)[0].bytes, image);
        EXPECT_EQ((*sent)[0].recordBytes, 8u);
    }
}

TEST(FramePacker, ARefusedFrameEndsTheCallThatSentIt) {
    const auto records = Contiguous(0x0, 4, 16);
    // Frame 1 is pushed out by the third record; frame 2 waits for the flush.
    for (std::size_t refuse : {1u, 2u}) {
        SCOPED_TRACE(refuse);
        std::size_t offered = 0;
        FramePacker packer(32, false, [&](const DataFrame&) { return ++offered != refuse; });
        std::size_t added = 0;
        while (added < records.size() &&
               packer.Add(records[added].address, records[added].bytes.data(), 16)) {
            ++added;
        }
        EXPECT_EQ(added, refuse == 1 ? 2u : 4u);
        if (refuse == 2) {
            EXPECT_FALSE(packer.Flush());
        }
        EXPECT_EQ(offered, refuse);
    }
}

TEST(FramePacker, LimitFitsTheSettingToTheChip) {
    struct Case {
        int frameBytes;
        bool halfword;
        std::size_t limit;
    } cases[] = {
        {0, false, 0},     {-5, false, 0},    {0, true, 0},        {1, false, 1},
        {1, true, 2},      {7, true, 6},      {64, true, 64},      {249, false, 249},
        {250, false, 250}, {251, false, 250}, {100000, true, 250},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PackedFrameLimit(c.frameBytes, c.halfword), c.limit)
            << c.frameBytes << (c.halfword ? " halfword" : " byte");
    }
}

} // namespace
} // namespace talvex::testing
