// The shadow that holds a digest per page instead of the image's bytes: a
// changed byte anywhere is still caught before it is used, contradictions
// are still found and named, and verify pads still carry the image's bytes,
// whether or not the shadow keeps a page's bytes.

#include "hex_reader.h"
#include "hex_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace talvex {
namespace {

using test::Bytes;
using test::Record;
using test::TempDir;

constexpr std::uint32_t kLimit = 0x8F800; // flash offsets 0 .. 0xF7FF
const std::string kEnd = ":00000001FF";

// Shadows that keep every page, one page, and none: the last two take the
// paths a large image takes.
const std::size_t kKeptSizes[] = {ImageShadow::kKeptPages, 1, 0};

std::string Text(const std::vector<std::string>& lines) {
    std::string content;
    for (const auto& l : lines) content += l + "\n";
    return content;
}

std::string WithBadChecksum(std::string record) {
    record.back() = record.back() == '0' ? '1' : '0';
    return record;
}

ImageCount Count(const TempDir& dir, const std::string& content, ImageShadow& shadow) {
    CHexReader reader;
    if (!reader.OpenImage(dir.Write("board.hex", content).string())) {
        ADD_FAILURE() << "cannot open the test image";
        return {};
    }
    return CountImage(reader, "board.hex", nullptr, &shadow);
}

TEST(PageDigest, EveryByteOfEveryPieceCounts) {
    std::vector<std::uint8_t> page(kPageSize);
    std::iota(page.begin(), page.end(), 7);
    const auto digest = [](const std::vector<std::uint8_t>& bytes) {
        PageDigest d;
        for (std::uint32_t at = 0; at < kPageSize; at += 16) d.Add(at, bytes.data() + at, 16);
        return d;
    };
    const PageDigest original = digest(page);
    EXPECT_EQ(original.pieces, 32u);
    for (std::uint32_t at = 0; at < kPageSize; ++at) {
        for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            auto changed = page;
            changed[at] ^= flip;
            EXPECT_FALSE(digest(changed) == original) << "byte " << at << " flip " << int(flip);
        }
    }
    // The same bytes in other pieces, or in another order, are another page.
    PageDigest halves;
    halves.Add(0, page.data(), 256);
    halves.Add(256, page.data() + 256, 256);
    EXPECT_FALSE(halves == original);
    PageDigest swapped;
    for (std::uint32_t at = kPageSize; at > 0; at -= 16)
        swapped.Add(at - 16, page.data() + at - 16, 16);
    EXPECT_FALSE(swapped == original);
}

TEST(CountImage, FindsContradictionsWhicheverPagesItKeeps) {
    const std::vector<std::uint8_t> fill(16, 0xA5);
    const struct {
        const char* name;
        std::vector<std::string> lines;
        std::string message; // empty: accepted
    } cases[] = {
        {"same bytes repeated",
         {Record(0, 0x10, {1, 2, 3, 4}), Record(0, 0x10, {1, 2, 3, 4}), kEnd},
         ""},
        {"one byte differs",
         {Record(0, 0x10, {1, 2, 3, 4}), Record(0, 0x20, {9}), Record(0, 0x12, {3, 5}), kEnd},
         "Lines 1 and 3 of board.hex put different bytes at address 0x13."},
        {"the earliest line that put the byte is named",
         {Record(0, 0x40, {6}), Record(0, 0x40, {6}), Record(0, 0x3F, {5, 7}), kEnd},
         "Lines 1 and 3 of board.hex put different bytes at address 0x40."},
        {"a page met again after others, agreeing",
         {Record(0, 0x0, fill), Record(0, 0x200, fill), Record(0, 0x400, fill),
          Record(0, 0x8, {0xA5, 0xA5}), kEnd},
         ""},
        {"a page met again after others, contradicting",
         {Record(0, 0x0, fill), Record(0, 0x200, fill), Record(0, 0x400, fill),
          Record(0, 0x8, {0xA5, 0x5A}), kEnd},
         "Lines 1 and 4 of board.hex put different bytes at address 0x9."},
        {"the first page of the file's end, as linkers put vector tables",
         {Record(0, 0x10, fill), Record(0, 0x200, fill), Record(0, 0x400, fill),
          Record(0, 0x0, fill), kEnd},
         ""},
        {"the earlier of two contradictions in different pages",
         {Record(0, 0x600, {1}), Record(0, 0x0, {1}), Record(0, 0x200, {1}), Record(0, 0x600, {2}),
          Record(0, 0x0, {2}), kEnd},
         "Lines 1 and 4 of board.hex put different bytes at address 0x600."},
        {"a record across two pages contradicts in both: the lower address",
         {Record(0, 0x1FE, {1, 2, 3, 4}), Record(0, 0x600, {1}), Record(0, 0x400, {1}),
          Record(0, 0x1FF, {9, 9}), kEnd},
         "Lines 1 and 4 of board.hex put different bytes at address 0x1ff."},
        {"a contradiction before damage",
         {Record(0, 0x0, {1}), Record(0, 0x200, {1}), Record(0, 0x400, {1}), Record(0, 0x0, {2}),
          WithBadChecksum(Record(0, 0x600, {1})), kEnd},
         "Lines 1 and 4 of board.hex put different bytes at address 0x0."},
        {"damage before a contradiction",
         {Record(0, 0x0, {1}), Record(0, 0x200, {1}), Record(0, 0x400, {1}),
          WithBadChecksum(Record(0, 0x600, {1})), Record(0, 0x0, {2}), kEnd},
         "Bad checksum in line 4 of board.hex."},
        {"a contradiction before a missing end record",
         {Record(0, 0x0, {1}), Record(0, 0x200, {1}), Record(0, 0x400, {1}), Record(0, 0x0, {2})},
         "Lines 1 and 4 of board.hex put different bytes at address 0x0."},
    };
    TempDir dir;
    for (const auto& c : cases) {
        for (const std::size_t kept : kKeptSizes) {
            SCOPED_TRACE(std::string(c.name) + ", pages kept: " + std::to_string(kept));
            ImageShadow shadow(kLimit, kept);
            const ImageCount count = Count(dir, Text(c.lines), shadow);
            EXPECT_EQ(count.valid, c.message.empty());
            EXPECT_EQ(count.message, c.message);
        }
    }
}

TEST(CountImage, ComparesAFileOfOverlappingCopiesInBoundedBatches) {
    // Every page of a 256 KB flash met twice, the second time after the
    // shadow let its bytes go (all but the last page, still at hand), so
    // that the pages are compared in two batches; one byte of page 300
    // differs in the second copy.
    constexpr std::uint32_t kBig = 0x80000 + 0x40000;
    constexpr std::uint32_t kChanged = 300 * kPageSize + 0x10;
    const auto bytesAt = [](std::uint32_t at) {
        std::vector<std::uint8_t> bytes(0x80);
        for (std::uint32_t i = 0; i < 0x80; ++i) bytes[i] = static_cast<std::uint8_t>((at + i) * 7);
        return bytes;
    };
    std::vector<std::string> copy;
    std::size_t changedLine = 0;
    for (std::uint32_t at = 0; at < 0x40000; at += 0x80) {
        if (at % 0x10000 == 0)
            copy.push_back(Record(4, 0, {0, static_cast<std::uint8_t>(at >> 16)}));
        copy.push_back(Record(0, static_cast<std::uint16_t>(at), bytesAt(at)));
        if (at == kChanged - 0x10) changedLine = copy.size();
    }
    std::vector<std::string> same = copy;
    same.insert(same.end(), copy.begin(), copy.end());
    same.push_back(kEnd);
    std::vector<std::string> differing = same;
    std::vector<std::uint8_t> changed = bytesAt(kChanged - 0x10);
    changed[0x10] ^= 0x10;
    differing[copy.size() + changedLine - 1] =
        Record(0, static_cast<std::uint16_t>(kChanged - 0x10), changed);

    TempDir dir;
    ImageShadow agreeing(kBig, 1);
    const ImageCount ok = Count(dir, Text(same), agreeing);
    EXPECT_TRUE(ok.valid) << ok.message;
    EXPECT_EQ(agreeing.PagesToRecheck().size(), 511u);

    ImageShadow refusing(kBig, 1);
    EXPECT_EQ(Count(dir, Text(differing), refusing).message,
              "Lines " + std::to_string(changedLine) + " and " +
                  std::to_string(copy.size() + changedLine) +
                  " of board.hex put different bytes at address 0x25810.");
}

// The texts of an image of pages whole pages of 16-byte records, in the
// order given by the record numbers.
struct Image {
    std::vector<std::vector<std::uint8_t>> records; // record i lies at 16 * i
    std::vector<std::size_t> order;

    std::string Text() const {
        std::vector<std::string> lines;
        int upper = -1;
        for (std::size_t i : order) {
            const std::uint32_t at = static_cast<std::uint32_t>(16 * i);
            if (static_cast<int>(at >> 16) != upper) {
                upper = static_cast<int>(at >> 16);
                lines.push_back(Record(4, 0, {0, static_cast<std::uint8_t>(upper)}));
            }
            lines.push_back(Record(0, static_cast<std::uint16_t>(at), records[i]));
        }
        lines.push_back(kEnd);
        return talvex::Text(lines);
    }
    std::uint8_t ByteAt(std::uint32_t at) const { return records[at / 16][at % 16]; }
};

Image MakeImage(std::size_t pages, const char* layout) {
    Image image;
    std::mt19937 random(static_cast<std::uint32_t>(pages));
    for (std::size_t i = 0; i < pages * 32; ++i) {
        std::vector<std::uint8_t> bytes(16);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        image.records.push_back(bytes);
    }
    image.order.resize(image.records.size());
    std::iota(image.order.begin(), image.order.end(), 0);
    const std::string how = layout;
    if (how == "first page last") {
        std::rotate(image.order.begin(), image.order.begin() + 32, image.order.end());
    } else if (how == "first page split") {
        // Half of page 0 first, the other half after every other page.
        std::rotate(image.order.begin() + 16, image.order.begin() + 32, image.order.end());
    } else if (how == "shuffled") {
        std::shuffle(image.order.begin(), image.order.end(), random);
    }
    return image;
}

struct Walked {
    bool complete = false; // the whole file read and every page confirmed
    std::vector<test::Delivered> used;
    std::size_t mostHeld = 0;
};

// A later pass as the engine walks it: records taken in the order read,
// handed on as the pass allows.
Walked Walk(const TempDir& dir, const std::string& content, const ImageShadow& shadow, bool pads,
            std::size_t maxHeld = ShadowPass::kMaxHeldBytes) {
    CHexReader reader;
    Walked w;
    if (!reader.OpenImage(dir.Write("board.hex", content).string())) {
        ADD_FAILURE() << "cannot open the test image";
        return w;
    }
    ShadowPass pass(shadow, pads, maxHeld);
    HexRecord record;
    const auto handOn = [&] {
        while (pass.Next(record)) {
            if (pads) PadToHalfwords(record, &pass);
            if (record.count == 0) continue;
            w.used.push_back({record.address, {record.data, record.data + record.count}});
        }
    };
    std::string text = reader.NextRecordText();
    reader.ResetBase();
    while (!text.empty() && !CHexReader::IsEndRecord(text)) {
        if (!pass.Take(reader.ParseRecord(text, false))) return w;
        w.mostHeld = std::max(w.mostHeld, pass.HeldBytes());
        handOn();
        text = reader.NextRecordText();
    }
    if (!pass.Complete()) return w;
    handOn();
    w.complete = true;
    return w;
}

TEST(ShadowPass, AOneByteChangeInAnyPageIsCaughtBeforeItIsUsed) {
    const char* layouts[] = {"address order", "first page last", "first page split", "shuffled"};
    TempDir dir;
    for (const char* layout : layouts) {
        const Image image = MakeImage(6, layout);
        for (const std::size_t kept : kKeptSizes) {
            SCOPED_TRACE(std::string(layout) + ", pages kept: " + std::to_string(kept));
            ImageShadow shadow(kLimit, kept);
            ASSERT_TRUE(Count(dir, image.Text(), shadow).valid);

            const Walked same = Walk(dir, image.Text(), shadow, false);
            EXPECT_TRUE(same.complete);
            ASSERT_EQ(same.used.size(), image.order.size()) << "every record, once";
            for (std::size_t i = 0; i < same.used.size(); ++i) {
                EXPECT_EQ(same.used[i].address, 16 * image.order[i]) << "in the order read";
            }

            for (std::uint32_t page = 0; page < 6; ++page) {
                const std::uint32_t at = page * kPageSize + 37 * (page + 1);
                Image changed = image;
                changed.records[at / 16][at % 16] ^= 0x04;
                const Walked w = Walk(dir, changed.Text(), shadow, false);
                EXPECT_FALSE(w.complete) << "page " << page;
                for (const auto& used : w.used) {
                    for (std::size_t i = 0; i < used.data.size(); ++i) {
                        ASSERT_EQ(used.data[i], image.ByteAt(used.address + i))
                            << "a changed byte went on, page " << page;
                    }
                }
            }
        }
    }
}

TEST(ShadowPass, RecordsGoneAddedOrMovedAreCaught) {
    const Image image = MakeImage(3, "address order");
    TempDir dir;
    // Where the shadow keeps a page's bytes, records moved within it carry
    // the image's bytes all the same; the move is left to the pass's
    // fingerprint of the record texts.
    const struct {
        const char* name;
        std::vector<std::size_t> order;
        bool caughtWhereKept;
    } cases[] = {
        {"a record dropped",
         [&] {
             auto o = image.order;
             o.erase(o.begin() + 40);
             return o;
         }(),
         true},
        {"a record repeated",
         [&] {
             auto o = image.order;
             o.insert(o.begin() + 41, 40);
             return o;
         }(),
         true},
        {"two records of a page swapped",
         [&] {
             auto o = image.order;
             std::swap(o[40], o[41]);
             return o;
         }(),
         false},
        {"a record of another page",
         [&] {
             auto o = image.order;
             o[40] = 90;
             return o;
         }(),
         true},
    };
    for (const std::size_t kept : kKeptSizes) {
        ImageShadow shadow(kLimit, kept);
        ASSERT_TRUE(Count(dir, image.Text(), shadow).valid);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", pages kept: " + std::to_string(kept));
            Image changed = image;
            changed.order = c.order;
            const Walked w = Walk(dir, changed.Text(), shadow, false);
            if (c.caughtWhereKept || kept < ImageShadow::kKeptPages) {
                EXPECT_FALSE(w.complete);
            } else {
                EXPECT_TRUE(w.complete);
                for (const auto& used : w.used) {
                    for (std::size_t i = 0; i < used.data.size(); ++i) {
                        EXPECT_EQ(used.data[i], image.ByteAt(used.address + i));
                    }
                }
            }
        }
    }
}

TEST(ShadowPass, HoldsBackAtMostAPageForAFileInAddressOrder) {
    const Image image = MakeImage(200, "address order");
    TempDir dir;
    ImageShadow shadow(0x80000 + 200 * kPageSize, 0);
    ASSERT_TRUE(Count(dir, image.Text(), shadow).valid);
    EXPECT_EQ(shadow.PageCount(), 200u);
    EXPECT_TRUE(shadow.PagesToRecheck().size() == 200u) << "a shadow keeping no bytes rechecks";
    const Walked w = Walk(dir, image.Text(), shadow, false);
    EXPECT_TRUE(w.complete);
    EXPECT_LE(w.mostHeld, kPageSize);
}

TEST(ShadowPass, APageSpreadOverTheWholeFileHoldsBackNoMoreThanTheLimit) {
    const Image image = MakeImage(40, "first page split");
    TempDir dir;
    ImageShadow shadow(kLimit, 0);
    ASSERT_TRUE(Count(dir, image.Text(), shadow).valid);
    constexpr std::size_t kHeld = 4096;
    const Walked same = Walk(dir, image.Text(), shadow, false, kHeld);
    EXPECT_TRUE(same.complete);
    EXPECT_LE(same.mostHeld, kHeld + 16);
    EXPECT_EQ(same.used.size(), image.order.size());

    // Past the limit records went on before their page was whole; the
    // change is still caught when it is.
    Image changed = image;
    changed.records[31][15] ^= 0x01; // the last byte of page 0, read last
    const Walked w = Walk(dir, changed.Text(), shadow, false, kHeld);
    EXPECT_FALSE(w.complete);
}

TEST(ShadowPass, VerifyPadsCarryTheImageBytesFromPagesTheShadowDoesNotKeep) {
    // Records that meet at odd addresses, read in either order, in a page
    // whose bytes the shadow may or may not keep.
    const std::string a = ":0300000011223397"; // 11 22 33 at 0x0
    const std::string b = ":03000300445566FB"; // 44 55 66 at 0x3
    const std::string c = Record(0, 0x7, {0x77});
    TempDir dir;
    const std::vector<std::vector<std::string>> orders = {{a, b, c, kEnd}, {c, b, a, kEnd}};
    for (const auto& order : orders) {
        for (const std::size_t kept : kKeptSizes) {
            SCOPED_TRACE("first record " + order[0] + ", pages kept: " + std::to_string(kept));
            ImageShadow shadow(kLimit, kept);
            ASSERT_TRUE(Count(dir, Text(order), shadow).valid);
            const Walked w = Walk(dir, Text(order), shadow, true);
            ASSERT_TRUE(w.complete);
            std::map<std::uint32_t, std::vector<std::uint8_t>> padded;
            for (const auto& used : w.used) padded[used.address] = used.data;
            EXPECT_EQ(padded[0x0], Bytes("11223344"));
            EXPECT_EQ(padded[0x2], Bytes("33445566"));
            EXPECT_EQ(padded[0x6], Bytes("FF77")) << "where the image has nothing";
        }
    }
}

} // namespace
} // namespace talvex
