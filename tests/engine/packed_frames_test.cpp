// Packed frames end to end: what goes over the line with [Flash] FrameBytes
// set, what the target's flash holds afterwards, and how refusals, a record
// outside the flash and a changed file are reported.

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>

#include "command_frame.h"
#include "engine_fixture.h"
#include "run_observer.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

struct Span {
    std::uint32_t address;
    std::size_t count;
    bool operator==(const Span&) const = default;
};

void PrintTo(const Span& s, std::ostream* os) {
    *os << "0x" << std::hex << s.address << "+" << std::dec << s.count;
}

// What the target acknowledged of each phase, as a run record gets it.
class CountingObserver final : public IRunObserver {
public:
    void RunBegan(const Settings&, const std::string&, bool) override {}
    void PhaseBegan(RunPhase) override {}
    void PhaseCount(RunPhase phase, std::uint64_t done) override {
        std::lock_guard<std::mutex> lock(mutex_);
        done_[phase] = done;
    }
    void PhaseEnded(RunPhase) override {}
    void Identified(const std::string&) override {}
    void RunCommand(bool) override {}
    void RunEnded(ExitCode, const std::string&) override {}

    std::uint64_t Done(RunPhase phase) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = done_.find(phase);
        return it == done_.end() ? 0 : it->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<RunPhase, std::uint64_t> done_;
};

class PackedTest : public EngineTest {
protected:
    // Each command once: a refused frame's tries are not frames of their own.
    std::vector<Span> Sent(char letter) const {
        std::vector<Span> spans;
        for (const auto& f : Frames(letter)) {
            if (!f.retry) spans.push_back({f.value, f.data.size()});
        }
        return spans;
    }

    int Download(const Settings& s) {
        return RunUnattended(s, 20s,
                             [&](SerialThread& worker) { worker.SetRunObserver(&counts_); });
    }

    CountingObserver counts_; // outlives the worker, which the fixture ends first
};

struct PackedCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<Chunk> image;
    int frameBytes;
    std::size_t limit; // the most bytes a frame may carry on this chip
    bool halfword;
    std::vector<Span> frames; // the W frames, and the V frames likewise
    std::uint64_t counted;    // image bytes acknowledged per pass, pads not counted
};

void PrintTo(const PackedCase& c, std::ostream* os) { *os << c.name; }

class PackedDownloadTest : public PackedTest, public ::testing::WithParamInterface<PackedCase> {};

TEST_P(PackedDownloadTest, FlashHoldsTheImageAndFramesKeepTheRules) {
    const PackedCase& c = GetParam();
    StartSim(c.simArgs);
    WriteImage("board.hex", HexText(c.image));
    Settings s = MakeSettings();
    s.frameBytes = c.frameBytes;

    ASSERT_EQ(Download(s), 0) << ::testing::PrintToString(window_.Failures());

    for (const Chunk& chunk : c.image) {
        EXPECT_EQ(FlashRange(chunk.address, chunk.bytes.size()), chunk.bytes)
            << "record at 0x" << std::hex << chunk.address;
    }
    EXPECT_EQ(Sent('W'), c.frames);
    EXPECT_EQ(Sent('V'), c.frames) << "verify frames are built as the write frames";
    for (const auto& f : Frames()) {
        if (f.letter != 'W' && f.letter != 'V') continue;
        EXPECT_LE(f.data.size(), c.limit);
        if (c.frameBytes > 0) {
            EXPECT_EQ(f.value / 512, (f.value + f.data.size() - 1) / 512)
                << f.letter << " frame at 0x" << std::hex << f.value << " crosses a page";
        }
        if (c.halfword) {
            EXPECT_EQ(f.value % 2, 0u);
            EXPECT_EQ(f.data.size() % 2, 0u);
        }
    }
    std::size_t size = 0;
    for (const Chunk& chunk : c.image) size += chunk.bytes.size();
    const auto lines = window_.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Downloading ... " + std::to_string(size) + " bytes"),
              1);
    EXPECT_EQ(counts_.Done(RunPhase::Write), c.counted);
    EXPECT_EQ(counts_.Done(RunPhase::Verify), c.counted);
}

INSTANTIATE_TEST_SUITE_P(Rows, PackedDownloadTest,
                         ::testing::Values(
                             // Off: one frame per record, as always, even across a page.
                             PackedCase{"OffSendsOneFramePerRecord",
                                        {},
                                        Records(0x1F8, 4, 16),
                                        0,
                                        16,
                                        false,
                                        {{0x1F8, 16}, {0x208, 16}, {0x218, 16}, {0x228, 16}},
                                        64},
                             // On: bytes that follow on share frames, cut at the page end.
                             PackedCase{"GapsEndAFrame",
                                        {},
                                        {{0x0, Pattern(16, 1)},
                                         {0x10, Pattern(16, 2)},
                                         {0x30, Pattern(16, 3)},
                                         {0x40, Pattern(16, 4)}},
                                        64,
                                        64,
                                        false,
                                        {{0x0, 32}, {0x30, 32}},
                                        64},
                             PackedCase{"RecordsOutOfOrderEndAFrame",
                                        {},
                                        {{0x20, Pattern(16, 1)},
                                         {0x30, Pattern(16, 2)},
                                         {0x0, Pattern(16, 3)},
                                         {0x10, Pattern(16, 4)}},
                                        64,
                                        64,
                                        false,
                                        {{0x20, 32}, {0x0, 32}},
                                        64},
                             PackedCase{"RecordAcrossAPageIsCutThere",
                                        {},
                                        {{0x5F8, Pattern(16, 1)}, {0x608, Pattern(16, 2)}},
                                        250,
                                        250,
                                        false,
                                        {{0x5F8, 8}, {0x600, 24}},
                                        32},
                             PackedCase{"FullFramesOf250",
                                        {},
                                        Records(0x0, 34, 16),
                                        250,
                                        250,
                                        false,
                                        {{0x0, 250}, {0xFA, 250}, {0x1F4, 12}, {0x200, 32}},
                                        544},
                             PackedCase{"AboveTheCeilingIs250",
                                        {},
                                        Records(0x0, 34, 16),
                                        4000,
                                        250,
                                        false,
                                        {{0x0, 250}, {0xFA, 250}, {0x1F4, 12}, {0x200, 32}},
                                        544},
                             // Halfword chips: even frames, and two records meeting at an odd
                             // address share their halfword. 7 is taken as 6 there.
                             PackedCase{"HalfwordOddAddressesAndLengths",
                                        {"--old-revision"},
                                        {{0x101, {0x01, 0x02, 0x03}},
                                         {0x104, {0x04, 0x05, 0x06, 0x07, 0x08}},
                                         {0x109, {0x09, 0x0A}}},
                                        7,
                                        6,
                                        true,
                                        {{0x100, 6}, {0x106, 6}},
                                        10}),
                         [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<Chunk> image;
    int frameBytes;
    int code;
    const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class PackedRefusalTest : public PackedTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(PackedRefusalTest, NamesThePackedFramesRangeWithTheUsualCode) {
    const RefusalCase& c = GetParam();
    baud_ = "230400";
    StartSim(c.simArgs);
    WriteImage("board.hex", HexText(c.image));
    Settings s = MakeSettings();
    s.frameBytes = c.frameBytes;

    EXPECT_EQ(Download(s), c.code);
    EXPECT_EQ(window_.Failures(), std::vector<std::string>{c.message});
    const auto lines = window_.Lines();
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 2, lines.end()),
        (std::vector<std::string>{"Flash error.", "    Check setup and try downloading again."}));
    if (c.code == 7) {
        EXPECT_TRUE(Frames('V').empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PackedRefusalTest,
    ::testing::Values(
        // 0x5F0..0x6B0 in 64-byte frames: 0x5F0+16, 0x600+64, 0x640+64, 0x680+48.
        RefusalCase{"Write",
                    {"--nak", "W@2"},
                    Records(0x5F0, 12, 16),
                    64,
                    7,
                    "Error at 0x600 - 0x640 \n Download aborted."},
        RefusalCase{"Verify",
                    {"--nak", "V@3"},
                    Records(0x5F0, 12, 16),
                    64,
                    8,
                    "Error at 0x640 - 0x680 \n Verify aborted."},
        RefusalCase{"LastFrameHeldToTheEnd",
                    {"--nak", "W@4"},
                    Records(0x5F0, 12, 16),
                    64,
                    7,
                    "Error at 0x680 - 0x6b0 \n Download aborted."},
        RefusalCase{"HalfwordWrite",
                    {"--old-revision", "--nak", "W@2"},
                    {{0x101, {0x01, 0x02, 0x03}},
                     {0x104, {0x04, 0x05, 0x06, 0x07, 0x08}},
                     {0x109, {0x09, 0x0A}}},
                    6,
                    7,
                    "Error at 0x106 - 0x10c \n Download aborted."}),
    [](const auto& info) { return std::string(info.param.name); });

// The file gains a record outside the flash after the page plan accepted
// it: the records before it are written first, as one frame per record would.
TEST_F(PackedTest, RecordsBeforeABadAddressAreWrittenBeforeItIsReported) {
    StartSim({});
    const auto chunks = Records(0x0, 4, 16);
    WriteImage("board.hex", HexText(chunks));
    auto grown = chunks;
    grown.push_back({0xF800, Pattern(16, 9)});
    const std::string path = image_;
    const std::string replacement = HexText(grown);
    Settings s = MakeSettings();
    s.frameBytes = 250;

    const int code = RunUnattended(s, 20s, [&](SerialThread& worker) {
        worker.SetPassObserver([&](ImagePass pass) {
            if (pass == ImagePass::Program)
                std::ofstream(path, std::ios::binary | std::ios::trunc) << replacement;
        });
    });

    EXPECT_EQ(code, 3);
    EXPECT_EQ(window_.Failures(), std::vector<std::string>{
                                      "Wrong memory address 0xf800 - 0xf80f \n Download aborted."});
    EXPECT_EQ(Sent('W'), (std::vector<Span>{{0x0, 64}}));
    for (const Chunk& chunk : chunks) EXPECT_EQ(FlashRange(chunk.address, 16), chunk.bytes);
    EXPECT_TRUE(Frames('V').empty());
}

// A file that changes during the write: the frame still held is not sent,
// and the run does not end in success.
TEST_F(PackedTest, AChangedFileSendsNothingItStillHolds) {
    StartSim({});
    const auto chunks = Records(0x0, 8, 16);
    WriteImage("board.hex", HexText(chunks));
    auto changed = chunks;
    changed[7].bytes[0] ^= 0x01;
    const std::string path = image_;
    const std::string replacement = HexText(changed);
    Settings s = MakeSettings();
    s.frameBytes = 250;

    const int code = RunUnattended(s, 20s, [&](SerialThread& worker) {
        worker.SetPassObserver([&](ImagePass pass) {
            if (pass == ImagePass::Program)
                std::ofstream(path, std::ios::binary | std::ios::trunc) << replacement;
        });
    });

    EXPECT_EQ(code, 2);
    EXPECT_EQ(window_.Failures(),
              std::vector<std::string>{"board.hex changed during the download."});
    EXPECT_TRUE(Frames('W').empty()) << "all eight records were still one frame in hand";
    const auto lines = window_.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Flashing Complete."), 0);
}

} // namespace
} // namespace talvex::testing
