// The image flashed is the image checked: files that change between passes,
// contradictory and hostile files, halfword verification, and one outcome
// per unattended run.

#include <algorithm>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "command_frame.h"
#include "frame_link.h"
#include "engine_fixture.h"
#include "serial_port.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::size_t Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

// Every byte each W and V frame carried, against what the image puts there.
void ExpectFramesCarryOnly(const std::vector<zarq::LogEntry>& frames,
                           const std::vector<Chunk>& image) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    for (const auto& c : image) {
        for (std::size_t i = 0; i < c.bytes.size(); ++i) bytes[c.address + i] = c.bytes[i];
    }
    for (const auto& f : frames) {
        if (f.letter != 'W' && f.letter != 'V') continue;
        for (std::size_t i = 0; i < f.data.size(); ++i) {
            const auto it = bytes.find(f.value + static_cast<std::uint32_t>(i));
            ASSERT_NE(it, bytes.end()) << f.letter << " frame at " << f.value;
            const std::uint8_t sent = f.letter == 'W' ? it->second : RotateLeft3(it->second);
            ASSERT_EQ(f.data[i], sent) << f.letter << " frame at " << f.value << " byte " << i;
        }
    }
}

enum class Change { ChecksumWrong, ByteDifferent, Shorter, LongerByARecord, LongerByARepeat, None };

struct RewriteCase {
    const char* name;
    ImagePass when;
    Change change;
};

void PrintTo(const RewriteCase& c, std::ostream* os) { *os << c.name; }

class RewrittenImageTest : public EngineTest, public ::testing::WithParamInterface<RewriteCase> {};

// The lines of HexText: one type-04 record, the data records, the end record.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1) {
        lines.push_back(text.substr(from, at - from));
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return text;
}

std::string Rewritten(const std::vector<Chunk>& chunks, Change change) {
    switch (change) {
    case Change::ChecksumWrong: {
        auto lines = SplitLines(HexText(chunks));
        std::string& victim = lines[11];
        victim.back() = victim.back() == '0' ? '1' : '0';
        return JoinLines(lines);
    }
    case Change::ByteDifferent: {
        auto changed = chunks;
        changed[10].bytes[3] ^= 0x01;
        return HexText(changed);
    }
    case Change::Shorter: {
        // The first four data records and no end record.
        const auto lines = SplitLines(HexText(chunks));
        return JoinLines(std::vector<std::string>(lines.begin(), lines.begin() + 5));
    }
    case Change::LongerByARecord: {
        auto longer = chunks;
        longer.push_back({0x800, Pattern(16, 99)});
        return HexText(longer);
    }
    case Change::LongerByARepeat: {
        auto longer = chunks;
        longer.insert(longer.begin() + 20, chunks[10]);
        return HexText(longer);
    }
    case Change::None: break;
    }
    return HexText(chunks);
}

TEST_P(RewrittenImageTest, NeverEndsInSuccessAndNeverSendsOtherBytes) {
    const RewriteCase& c = GetParam();
    StartSim({});
    const auto chunks = Records(0, 64, 16); // 1024 bytes
    WriteImage("board.hex", HexText(chunks));
    const std::string path = image_;
    const std::string replacement = Rewritten(chunks, c.change);
    const int code = RunUnattended(MakeSettings(), 20s, [&](SerialThread& worker) {
        worker.SetPassObserver([&](ImagePass pass) {
            // In place: the page plan rereads the count pass's own opening.
            if (pass == c.when)
                std::ofstream(path, std::ios::binary | std::ios::trunc) << replacement;
        });
    });
    const auto lines = window_.Lines();
    if (c.change == Change::None) {
        EXPECT_EQ(code, 0);
        EXPECT_EQ(Count(lines, "Flashing Complete."), 1u);
        return;
    }
    EXPECT_EQ(code, 2);
    EXPECT_EQ(window_.Failures(),
              std::vector<std::string>{"board.hex changed during the download."});
    EXPECT_EQ(Count(lines, "Flashing Complete."), 0u);
    EXPECT_EQ(Count(lines, "Flash error."), 1u);
    ExpectFramesCarryOnly(Frames(), chunks);
    if (c.when == ImagePass::PagePlan) {
        EXPECT_TRUE(Frames().empty()) << "nothing is erased for a plan made from another file";
    }
    if (c.when == ImagePass::Program) {
        EXPECT_TRUE(Frames('V').empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RewrittenImageTest,
    ::testing::Values(
        RewriteCase{"PlanChecksumWrong", ImagePass::PagePlan, Change::ChecksumWrong},
        RewriteCase{"PlanByteDifferent", ImagePass::PagePlan, Change::ByteDifferent},
        RewriteCase{"PlanShorter", ImagePass::PagePlan, Change::Shorter},
        RewriteCase{"PlanLongerByARecord", ImagePass::PagePlan, Change::LongerByARecord},
        RewriteCase{"ProgramChecksumWrong", ImagePass::Program, Change::ChecksumWrong},
        RewriteCase{"ProgramByteDifferent", ImagePass::Program, Change::ByteDifferent},
        RewriteCase{"ProgramShorter", ImagePass::Program, Change::Shorter},
        RewriteCase{"ProgramLongerByARecord", ImagePass::Program, Change::LongerByARecord},
        RewriteCase{"ProgramLongerByARepeat", ImagePass::Program, Change::LongerByARepeat},
        RewriteCase{"VerifyChecksumWrong", ImagePass::Verify, Change::ChecksumWrong},
        RewriteCase{"VerifyByteDifferent", ImagePass::Verify, Change::ByteDifferent},
        RewriteCase{"VerifyShorter", ImagePass::Verify, Change::Shorter},
        RewriteCase{"VerifyLongerByARepeat", ImagePass::Verify, Change::LongerByARepeat},
        RewriteCase{"ProgramSameContent", ImagePass::Program, Change::None}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, ImageReplacedByAnotherFileIsCaughtWithVerifyOff) {
    StartSim({});
    const auto chunks = Records(0x200, 32, 32);
    WriteImage("board.hex", HexText(chunks));
    auto other = chunks;
    other[31].bytes[0] ^= 0xFF;
    const std::string path = image_;
    const std::string next = (dir_ / "next.hex").string();
    std::ofstream(next, std::ios::binary) << HexText(other);
    Settings s = MakeSettings();
    s.verify = "No";
    // A new file renamed over the old one, as editors and build tools do.
    const int code = RunUnattended(s, 20s, [&](SerialThread& worker) {
        worker.SetPassObserver([&](ImagePass pass) {
            if (pass == ImagePass::Program) std::filesystem::rename(next, path);
        });
    });
    EXPECT_EQ(code, 2);
    ExpectFramesCarryOnly(Frames(), chunks);
    EXPECT_EQ(Frames('W').size(), 31u) << "every record before the changed one";
}

TEST_F(EngineTest, ContradictoryImageIsRefusedBeforeAnythingIsSent) {
    StartSim({});
    // Line 1 is the type-04 record.
    WriteImage("board.hex", HexText({{0x10, {1, 2, 3, 4}}, {0x30, {7}}, {0x12, {3, 5}}}));
    EXPECT_EQ(RunUnattended(MakeSettings()), 2);
    EXPECT_EQ(window_.Failures(),
              std::vector<std::string>{
                  "Lines 2 and 4 of board.hex put different bytes at address 0x13."});
    EXPECT_TRUE(Frames().empty());

    // The same bytes twice are no contradiction.
    window_.Clear();
    sim_->Stop();
    StartSim({});
    const std::vector<Chunk> twice = {{0x10, {1, 2, 3, 4}}, {0x12, {3, 4, 5}}};
    WriteImage("board.hex", HexText(twice));
    EXPECT_EQ(RunUnattended(MakeSettings()), 0);
    EXPECT_EQ(FlashRange(0x10, 5), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(EngineTest, FilesThatAreNotImagesAreRefusedAtOnce) {
    const std::string fifo = (dir_ / "pipe.hex").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string blob = (dir_ / "blob.hex").string();
    std::ofstream(blob, std::ios::binary) << ":";
    ASSERT_EQ(truncate(blob.c_str(), 1ll << 30), 0); // a sparse gigabyte, one word
    const struct {
        std::string path;
        std::string failure;
    } cases[] = {
        {"/dev/zero", "/dev/zero is not a regular file."},
        {fifo, fifo + " is not a regular file."},
        {blob, "Record in line 1 of blob.hex is longer than 521 characters."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto& sim = StartSim({});
        image_ = c.path;
        RecordingWindow window;
        SerialThread worker(window, MakeSettings());
        worker.Flags().Unattended.Begin();
        worker.PressStart();
        ASSERT_TRUE(window.WaitLine(sim.IdentificationText() + " received.", 5s));
        const auto identified = Clock::now();
        EXPECT_EQ(window.WaitResult(5s), std::optional<int>(2));
        EXPECT_LT(Clock::now() - identified, 100ms);
        worker.RequestStop();
        worker.Join();
        EXPECT_EQ(window.Failures(), std::vector<std::string>{c.failure});
        EXPECT_TRUE(Frames().empty());
        sim_->Stop();
    }
}

TEST_F(EngineTest, StopDuringTheCountOfAHugeFileEndsWithin100ms) {
    auto& sim = StartSim({});
    // Blanks only: no record to pause at.
    {
        std::ofstream out((dir_ / "blank.hex").string(), std::ios::binary);
        const std::string block(1 << 20, '\n');
        for (int i = 0; i < 96; ++i) out << block;
    }
    image_ = (dir_ / "blank.hex").string();
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->Flags().Unattended.Begin();
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine(sim.IdentificationText() + " received.", 5s));
    const auto asked = Clock::now();
    worker_->RequestStop();
    worker_->Join();
    EXPECT_LT(Clock::now() - asked, 100ms);
    EXPECT_TRUE(window_.Failures().empty()) << "a stop is no damaged image";
    EXPECT_TRUE(Frames().empty());
}

// An older-revision ZaRQ4126 (halfword padding) whose image has two records
// that meet at an odd address.
class HalfwordVerifyTest : public EngineTest {
protected:
    const std::vector<Chunk> image_chunks = {{0x0, {0x11, 0x22, 0x33}}, {0x3, {0x44, 0x55, 0x66}}};

    // The bootloader announces itself again after a reset.
    void ResetTarget() {
        CSerialPort port;
        ASSERT_TRUE(port.Open(sim_->DevicePath(), baud_));
        FrameLink link(port, 115200);
        EXPECT_LT(link.Send(CommandFrame::Run(1)), 10);
        port.Close();
    }
};

TEST_F(HalfwordVerifyTest, RecordsMeetingAtAnOddAddressProgramAndVerify) {
    StartSim({"--old-revision"});
    WriteImage("board.hex", HexText(image_chunks));
    EXPECT_EQ(RunUnattended(MakeSettings()), 0);
    EXPECT_EQ(FlashRange(0, 6), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    // Writes pad with erased flash; verifies with the neighbour's bytes.
    const auto w = Frames('W');
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].data, (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0xFF}));
    EXPECT_EQ(w[1].data, (std::vector<std::uint8_t>{0xFF, 0x44, 0x55, 0x66}));
    const auto v = Frames('V');
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].value, 0x0u);
    EXPECT_EQ(v[0].data[3], RotateLeft3(0x44));
    EXPECT_EQ(v[1].value, 0x2u);
    EXPECT_EQ(v[1].data[0], RotateLeft3(0x33));
}

TEST_F(HalfwordVerifyTest, AReallyWrongByteStillFailsVerify) {
    StartSim({"--old-revision"});
    WriteImage("board.hex", HexText(image_chunks));
    ASSERT_EQ(RunUnattended(MakeSettings()), 0);

    const struct {
        const char* name;
        std::uint32_t at; // offset of the byte that differs from the flash
        std::string failure;
    } cases[] = {
        {"inside a record", 4, "Error at 0x2 - 0x6 \n Verify aborted."},
        // 0x3 travels as the pad byte of the first record's frame too.
        {"under the other record's pad", 3, "Error at 0x0 - 0x4 \n Verify aborted."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTarget();
        auto other = image_chunks;
        other[c.at / 3].bytes[c.at % 3] ^= 0x01;
        WriteImage("board.hex", HexText(other));
        window_.Clear();
        Settings s = MakeSettings();
        s.program = "No";
        EXPECT_EQ(RunUnattended(s), 8);
        EXPECT_EQ(window_.Failures(), std::vector<std::string>{c.failure});
    }
}

TEST_F(EngineTest, MassEraseWithAutorunEndsWithZeroAndNoRunFrameEveryTime) {
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        StartSim({});
        window_.Clear();
        Settings s = MakeSettings();
        s.massErase = "Yes";
        s.autorun = "Yes";
        EXPECT_EQ(RunUnattended(s), 0);
        EXPECT_EQ(window_.Results(), std::vector<int>{0});
        EXPECT_EQ(Frames('E').size(), 1u);
        EXPECT_TRUE(Frames('R').empty());
        sim_->Stop();
    }
}

// Images larger than the pages whose bytes the shadow keeps: a two-block
// part of 126 KB and 100 KB of 16-byte records, so that the first 72 pages
// are checked against their digests alone.
class LargeImageTest : public EngineTest {
protected:
    static constexpr std::size_t kPages = 200;
    static constexpr std::uint32_t kPage = 512;

    zarq::Simulator& StartLargePart(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"--part", "ZaRQ4127"});
        return StartSim(args);
    }
    Settings LargeSettings() const {
        Settings s = MakeSettings();
        s.part = "ZaRQ4127";
        return s;
    }
    static bool Touches(const zarq::LogEntry& frame, std::uint32_t page) {
        const std::uint32_t first = frame.value / kPage;
        const std::uint32_t last =
            (frame.value + static_cast<std::uint32_t>(frame.data.size()) - 1) / kPage;
        return first <= page && page <= last;
    }
};

TEST_F(LargeImageTest, AChangedByteInAPageKeptOnlyAsADigestIsNeverWritten) {
    StartLargePart();
    const auto chunks = Records(0, kPages * 32, 16);
    WriteImage("board.hex", HexText(chunks));
    auto other = chunks;
    other[3 * 32 + 20].bytes[5] ^= 0x01; // page 3
    const std::string path = image_;
    const std::string replacement = HexText(other);
    const int code = RunUnattended(LargeSettings(), 30s, [&](SerialThread& worker) {
        worker.SetPassObserver([&](ImagePass pass) {
            if (pass == ImagePass::Program)
                std::ofstream(path, std::ios::binary | std::ios::trunc) << replacement;
        });
    });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(window_.Failures(),
              std::vector<std::string>{"board.hex changed during the download."});
    ExpectFramesCarryOnly(Frames(), chunks);
    const auto w = Frames('W');
    EXPECT_EQ(w.size(), 3u * 32) << "the pages before the changed one, whole";
    for (const auto& f : w) EXPECT_FALSE(Touches(f, 3)) << "W frame at " << f.value;
}

TEST_F(LargeImageTest, APageSplitOverTheWholeFileProgramsAndVerifies) {
    StartLargePart();
    // Half of page 0 first and the other half last, as a linker may leave
    // a vector table: every record between waits for page 0 until the
    // waiting data passes its limit.
    const auto records = Records(0, kPages * 32, 16);
    std::vector<Chunk> chunks(records.begin(), records.begin() + 16);
    chunks.insert(chunks.end(), records.begin() + 32, records.end());
    chunks.insert(chunks.end(), records.begin() + 16, records.begin() + 32);
    WriteImage("board.hex", HexText(chunks));
    EXPECT_EQ(RunUnattended(LargeSettings(), 60s), 0);
    for (const Chunk& c : records) {
        ASSERT_EQ(FlashRange(c.address, c.bytes.size()), c.bytes) << "at " << c.address;
    }
    EXPECT_EQ(Frames('W').size(), records.size());
    EXPECT_EQ(Frames('V').size(), records.size());
}

TEST_F(LargeImageTest, HalfwordVerifyPadsComeFromPagesKeptOnlyAsADigest) {
    StartLargePart({"--old-revision"});
    // Page 5 holds two records that meet at an odd address; the rest are
    // whole 16-byte records.
    std::vector<Chunk> chunks;
    for (const Chunk& c : Records(0, kPages * 32, 16)) {
        if (c.address == 0xA00) {
            chunks.push_back({0xA00, Pattern(15, 1)});
            chunks.push_back({0xA0F, Pattern(17, 2)});
        } else if (c.address != 0xA10) {
            chunks.push_back(c);
        }
    }
    WriteImage("board.hex", HexText(chunks));
    EXPECT_EQ(RunUnattended(LargeSettings(), 60s), 0);
    EXPECT_EQ(FlashRange(0xA0E, 2),
              (std::vector<std::uint8_t>{Pattern(15, 1)[14], Pattern(17, 2)[0]}));
    bool sawBoth = false;
    for (const auto& v : Frames('V')) {
        if (v.value == 0xA00) {
            ASSERT_EQ(v.data.size(), 16u);
            EXPECT_EQ(v.data[15], RotateLeft3(Pattern(17, 2)[0])) << "the next record's byte";
        }
        if (v.value == 0xA0E) {
            ASSERT_EQ(v.data.size(), 18u);
            EXPECT_EQ(v.data[0], RotateLeft3(Pattern(15, 1)[14])) << "the previous record's byte";
            sawBoth = true;
        }
    }
    EXPECT_TRUE(sawBoth);
}

} // namespace
} // namespace talvex::testing
