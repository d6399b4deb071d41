// The page plan against a board that still holds old firmware: every page
// a record touches is erased once, the page of its last byte included, and
// nothing else is; what the board then holds is exactly the image over the
// old contents of the pages left alone.

#include <algorithm>
#include <fstream>

#include "engine_fixture.h"

namespace talvex::testing {
namespace {

constexpr std::uint32_t kPage = 512;
constexpr std::size_t kFlashSize = 0x10000; // ZaRQ4126, kernel included

struct CrossingCase {
    const char* name;
    std::vector<Chunk> records;
    std::vector<std::uint32_t> pages; // erased, by offset, in the order sent
    std::vector<std::string> simArgs;
};

void PrintTo(const CrossingCase& c, std::ostream* os) { *os << c.name; }

Chunk At(std::uint32_t address, std::size_t count) { return {address, Pattern(count, address)}; }

// The board's previous program: no byte erased, so that a page written
// without its erase shows in nearly every byte.
std::vector<std::uint8_t> OldFirmware() {
    auto bytes = Pattern(kFlashSize, 0x01D);
    for (auto& b : bytes) b = b == 0xFF ? 0x00 : b;
    return bytes;
}

// What the board holds after a correct download: the old firmware, the
// erased pages blank, the image over them. A halfword chip's padding writes
// 0xFF onto erased cells, which changes nothing.
std::vector<std::uint8_t> Expected(const CrossingCase& c) {
    auto flash = OldFirmware();
    for (std::uint32_t page : c.pages) std::fill_n(flash.begin() + page, kPage, 0xFF);
    for (const Chunk& r : c.records) {
        std::copy(r.bytes.begin(), r.bytes.end(), flash.begin() + r.address);
    }
    return flash;
}

class PageCrossingTest : public EngineTest, public ::testing::WithParamInterface<CrossingCase> {};

TEST_P(PageCrossingTest, ErasesEveryTouchedPageOnceAndTheBoardHoldsTheImage) {
    const CrossingCase& c = GetParam();
    const std::string old = (dir_ / "old-firmware.bin").string();
    const auto oldBytes = OldFirmware();
    std::ofstream(old, std::ios::binary)
        .write(reinterpret_cast<const char*>(oldBytes.data()),
               static_cast<std::streamsize>(oldBytes.size()));
    std::vector<std::string> args = {"--flash-init", old};
    args.insert(args.end(), c.simArgs.begin(), c.simArgs.end());
    StartSim(args);
    ASSERT_EQ(sim_->Flash(), oldBytes) << "the board starts with its old program";
    WriteImage("board.hex", HexText(c.records));

    EXPECT_EQ(RunUnattended(MakeSettings()), 0) << ::testing::PrintToString(window_.Failures());

    std::vector<std::uint32_t> erased;
    for (const auto& e : Frames('E')) {
        EXPECT_EQ(e.data, std::vector<std::uint8_t>{1}) << "one page per frame, at " << e.value;
        erased.push_back(e.value);
    }
    EXPECT_EQ(erased, c.pages);
    const std::string line =
        "Erasing " + std::to_string(c.pages.size()) + " pages of 512 bytes each.";
    const auto lines = window_.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
    ASSERT_FALSE(window_.Ranges().empty());
    EXPECT_EQ(window_.Ranges().front(), c.pages.size());

    const auto flash = sim_->Flash();
    const auto expected = Expected(c);
    ASSERT_EQ(flash.size(), expected.size());
    // Name the first cell that differs rather than dump 64 KB.
    const auto [got, want] = std::mismatch(flash.begin(), flash.end(), expected.begin());
    EXPECT_TRUE(got == flash.end()) << "flash at offset 0x" << std::hex << (got - flash.begin())
                                    << " holds 0x" << int(*got) << ", expected 0x" << int(*want);
}

INSTANTIATE_TEST_SUITE_P(
    OldFirmwareOnBoard, PageCrossingTest,
    ::testing::Values(
        // The two pages of the example in the erase rules.
        CrossingCase{"ThirtyTwoBytesOverTheFirstBoundary", {At(0x1F0, 32)}, {0x000, 0x200}, {}},
        // Only the very last byte lies on the next page.
        CrossingCase{"LastByteAloneOnTheNextPage", {At(0x5F1, 16)}, {0x400, 0x600}, {}},
        // Ends on the last byte of its page: the next page keeps its
        // contents.
        CrossingCase{"EndingOnTheLastByteOfAPage", {At(0x9F0, 16)}, {0x800}, {}},
        CrossingCase{"StartingOnABoundary", {At(0xC00, 16)}, {0xC00}, {}},
        // 255 bytes go out as two frames; the page of the second is erased
        // all the same.
        CrossingCase{"LongestRecordOverABoundary", {At(0x1FF0, 255)}, {0x1E00, 0x2000}, {}},
        CrossingCase{"LastUserPageBelowTheKernel", {At(0xF5F8, 16)}, {0xF400, 0xF600}, {}},
        // Padded to 0x27FE..0x2801 on a halfword chip.
        CrossingCase{"OlderRevisionPaddedOverABoundary",
                     {At(0x27FF, 2)},
                     {0x2600, 0x2800},
                     {"--old-revision"}},
        // Pages shared by several records are erased once, in page order,
        // whatever the order of the records.
        CrossingCase{"RecordsOutOfOrderSharingPages",
                     {At(0x45F8, 16), At(0x41F0, 32), At(0x4210, 16), At(0x43F8, 16)},
                     {0x4000, 0x4200, 0x4400, 0x4600},
                     {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace talvex::testing
