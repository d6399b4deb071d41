// talvex-cli never waits without bound for something beside the target: a
// trace FIFO without a reader, or with one that stops reading, and the
// identification limit at the slowest rates. Also the run record's byte
// counts on chips that pad records to halfwords.

#include "cli_fixture.h"
#include "deadline_wait.h"
#include "fifo_reader.h"
#include "json_reader.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Timed {
    Child child;
    Clock::duration took{};
};

class BoundedWaitTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        cli_ = Install();
    }
    std::string MakeFifo(const std::string& name) {
        const std::string path = (dir_ / name).string();
        EXPECT_TRUE(testing::MakeFifo(path));
        return path;
    }
    std::vector<std::string> Args(std::vector<std::string> extra) const {
        std::vector<std::string> args = {cli_,        "af=" + image_, "cp=" + sim_->DevicePath(),
                                         "cb=115200", "fe=n",         "fp=y",
                                         "fv=y",      "rr=n"};
        args.insert(args.begin() + 1, extra.begin(), extra.end());
        return args;
    }
    Timed Run(const std::vector<std::string>& args, std::chrono::milliseconds killAfter = 30s) {
        RunOptions options;
        options.killAfter = killAfter;
        const auto started = Clock::now();
        Timed t;
        t.child = RunProgram(args, dir_.string(), options);
        t.took = Clock::now() - started;
        return t;
    }
    // The same download without a trace, for how long a run takes here;
    // then a fresh target, as one announces itself only once.
    Clock::duration Reference(const std::vector<std::string>& simArgs) {
        StartSim(simArgs);
        const Timed plain = Run(Args({}));
        EXPECT_EQ(ExitCodeOf(plain.child), 0) << plain.child.err;
        sim_->Stop();
        sim_.reset();
        StartSim(simArgs);
        return plain.took;
    }

    std::string cli_;
};

TEST_F(BoundedWaitTest, TraceFifoWithoutReaderIsReportedAndTheRunGoesOn) {
    WriteImage("board.hex", HexText(Records(0, 8, 16)));
    const Clock::duration reference = Reference({});
    const std::string fifo = MakeFifo("trace.fifo");
    const Timed traced =
        Run(Args({"--trace", fifo}),
            std::chrono::duration_cast<std::chrono::milliseconds>(reference) + 10s);
    EXPECT_EQ(ExitCodeOf(traced.child), 0) << traced.child.err;
    EXPECT_EQ(traced.child.err, "talvex-cli: trace file " + fifo +
                                    " not opened (it is a FIFO that no process reads); the run "
                                    "goes on without a trace.\n");
    EXPECT_NE(traced.child.out.find("Flashing Complete."), std::string::npos) << traced.child.out;
    EXPECT_LT(traced.took, reference + 1s);
}

TEST_F(BoundedWaitTest, TraceFifoWithAReaderGetsTheWholeTrace) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 8, 16)));
    const std::string fifo = MakeFifo("trace.fifo");
    FifoReader reader;
    ASSERT_TRUE(reader.Open(fifo, PipeSize::AsMade));
    reader.KeepReading();
    const Timed traced = Run(Args({"--trace", fifo}));
    const std::string text = reader.StopReading();
    EXPECT_EQ(ExitCodeOf(traced.child), 0) << traced.child.err;
    EXPECT_EQ(traced.child.err, "");
    EXPECT_EQ(text.rfind("# talvex-cli ", 0), 0u) << text;
    EXPECT_NE(text.find("* open " + sim_->DevicePath()), std::string::npos) << text;
    EXPECT_NE(text.find("frame V 0x00000070, 16 data bytes"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 8), "* close\n") << text;
}

TEST_F(BoundedWaitTest, TraceReaderThatStopsReadingCostsTheTraceButNotTheRun) {
    // Some 20 KB of trace, several times what the shrunk FIFO holds, over
    // more than a second: the trace is given up during the run.
    WriteImage("board.hex", HexText(Records(0, 64, 16)));
    const Clock::duration reference = Reference({"--answer-delay-ms", "10"});
    const std::string fifo = MakeFifo("trace.fifo");
    FifoReader reader;
    ASSERT_TRUE(reader.Open(fifo, PipeSize::OnePage));
    const Timed traced =
        Run(Args({"--trace", fifo}),
            std::chrono::duration_cast<std::chrono::milliseconds>(reference) + 10s);
    EXPECT_EQ(ExitCodeOf(traced.child), 0)
        << "a trace never decides the result; " << traced.child.err;
    EXPECT_EQ(traced.child.err, "talvex-cli: trace file " + fifo +
                                    " is incomplete (its reader took nothing for 0.5 s).\n");
    EXPECT_LT(traced.took, reference + 1s);
}

// A stop mid-run ends the run at once whatever the trace's reader does.
class TraceStopTest : public BoundedWaitTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TraceStopTest, SigtermMidRunEndsWithinASecond) {
    const bool readerPresent = GetParam();
    // About 3 s of answers held 10 ms each: well past the signal.
    StartSim({"--answer-delay-ms", "10"});
    WriteImage("board.hex", HexText(Records(0, 128, 16)));
    const std::string fifo = MakeFifo("trace.fifo");
    FifoReader reader;
    if (readerPresent) {
        ASSERT_TRUE(reader.Open(fifo, PipeSize::OnePage));
    }
    const pid_t pid = StartChild(Args({"--trace", fifo}), "", (dir_ / "err.txt").string());
    ASSERT_GE(pid, 0);
    // Into the writing, where the shrunk FIFO is full by now.
    WaitUntil([&] { return Frames('W').size() >= 20; }, 10s, 10ms);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const auto sent = Clock::now();
    const std::optional<int> ended = WaitForExit(pid, 20s);
    if (!ended) FAIL() << "talvex-cli did not end within 20 s of SIGTERM";
    const int status = *ended;
    const auto took = Clock::now() - sent;
    std::printf("[   INFO   ] ended %.0f ms after SIGTERM\n", Milliseconds(took));
    EXPECT_LT(took, 1s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_LT(Frames('V').size(), 128u) << "the signal came too late to tell";
}

INSTANTIATE_TEST_SUITE_P(Reader, TraceStopTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "ThatStopsReading" : "None");
                         });

// The limit ends the wait, also the read in hand, however slow the rate: a
// single identification read lasts 40 s at 50 baud.
class IdentificationLimitTest : public BoundedWaitTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(IdentificationLimitTest, SilentTargetEndsWithFourWithinTheSecondAsked) {
    const std::string baud = GetParam();
    auto& sim = StartSim({"--never-announce"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const Timed run = Run(
        {cli_, "--id-timeout", "1", "af=" + image_, "cp=" + sim.DevicePath(), "cb=" + baud}, 10s);
    EXPECT_EQ(ExitCodeOf(run.child), 4) << run.child.err;
    EXPECT_GE(run.took, 1s);
    EXPECT_LT(run.took, 1200ms);
    EXPECT_EQ(run.child.err, "No identification from the target on " + sim.DevicePath() +
                                 " within 1 s. Is it in bootloader mode?\n");
}

INSTANTIATE_TEST_SUITE_P(Rates, IdentificationLimitTest,
                         ::testing::Values("50", "110", "300", "115200"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string("Baud") + info.param;
                         });

// Chips of an older revision program and verify halfwords: records are
// widened to even ends, with erased flash when written and with the image's
// own neighbours when verified. The record still counts the image's bytes,
// so that a good run shows bytes_verified == data_bytes.
struct PaddedImage {
    const char* name;
    std::vector<Chunk> chunks;
};

void PrintTo(const PaddedImage& image, std::ostream* os) { *os << image.name; }

class HalfwordRecordTest : public BoundedWaitTest,
                           public ::testing::WithParamInterface<PaddedImage> {};

TEST_P(HalfwordRecordTest, BytesWrittenAndVerifiedAreTheImagesDataBytes) {
    const PaddedImage& image = GetParam();
    StartSim({"--old-revision"});
    WriteImage("board.hex", HexText(image.chunks));
    long long dataBytes = 0;
    for (const Chunk& c : image.chunks) dataBytes += static_cast<long long>(c.bytes.size());
    const auto records = dir_ / "line.jsonl";
    const Timed run = Run(Args({"--record", records.string()}));
    ASSERT_EQ(ExitCodeOf(run.child), 0) << run.child.err;
    const auto lines = FileLines(records);
    ASSERT_EQ(lines.size(), 1u);
    const auto r = JsonReader::Parse(lines[0]);
    ASSERT_TRUE(r.has_value()) << lines[0];
    EXPECT_EQ((*r)["image"]["data_bytes"].Int(), dataBytes);
    EXPECT_EQ((*r)["done"]["bytes_verified"].Int(), dataBytes);
    EXPECT_EQ((*r)["done"]["bytes_written"].Int(), dataBytes);
}

std::vector<Chunk> OddPairs() {
    // Two bytes at each odd address: every record becomes four.
    std::vector<Chunk> chunks;
    for (std::uint32_t i = 0; i < 20; ++i) chunks.push_back({0x101 + 16 * i, Pattern(2, i)});
    return chunks;
}

INSTANTIATE_TEST_SUITE_P(Images, HalfwordRecordTest,
                         ::testing::Values(PaddedImage{"TwentyOddPairs", OddPairs()},
                                           PaddedImage{"RecordsMeetingAtAnOddAddress",
                                                       {{0x200, Pattern(3, 1)},
                                                        {0x203, Pattern(5, 2)},
                                                        {0x208, Pattern(16, 3)}}},
                                           PaddedImage{
                                               "OddStartAndEndAcrossAPage",
                                               {{0x1F9, Pattern(15, 4)}, {0x301, Pattern(1, 5)}}}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace talvex::testing
