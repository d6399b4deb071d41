// The serial link under realistic timing, end to end: late answers never
// pass for the answer to a later try or frame, a refusal is always seen,
// long frames fit their answer wait, and a stop ends the run at once at any
// rate.

#include <algorithm>
#include <thread>

#include "deadline_wait.h"
#include "engine_fixture.h"
#include "link_observer.h"
#include "serial_port.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> Concat(const std::vector<Chunk>& chunks) {
    std::vector<std::uint8_t> all;
    for (const auto& c : chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
    return all;
}

bool IsResultCode(int code) { return code >= 0 && code <= 9; }

// --- Late answers ---------------------------------------------------------

struct LateCase {
    std::size_t recordSize;
    int turnaroundMs;
};

void PrintTo(const LateCase& c, std::ostream* os) {
    *os << c.recordSize << "-byte records, answers " << c.turnaroundMs << " ms late";
}

class LateAnswerTest : public EngineTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateAnswerTest, FlashEqualsTheImageOrTheRunFails) {
    // An adapter that holds every answer back (a USB latency timer). At
    // 115200 baud the answer wait is 19 ms after the frame has left; the
    // shorter delays fit, the longer ones do not. Whatever happens, a run
    // that reports success must have left exactly the image in flash.
    const LateCase c = GetParam();
    StartSim({"--baud", "115200", "--turnaround-ms", std::to_string(c.turnaroundMs)});
    const auto chunks = Records(0, 512 / c.recordSize, c.recordSize);
    WriteImage("late.hex", HexText(chunks));
    Settings s = MakeSettings();
    s.verify = "No";

    const int code = RunUnattended(s, 90s);
    ASSERT_TRUE(IsResultCode(code)) << "no outcome: " << code;
    const bool flashed = FlashRange(0, 512) == Concat(chunks);
    EXPECT_TRUE(code != 0 || flashed) << "success reported with wrong bytes in flash";
    if (c.turnaroundMs <= 16) {
        // Well inside the answer wait: the run must simply succeed.
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(flashed);
    }
}

INSTANTIATE_TEST_SUITE_P(At115200, LateAnswerTest,
                         ::testing::Values(LateCase{16, 5}, LateCase{16, 16}, LateCase{16, 18},
                                           LateCase{16, 25}, LateCase{16, 40}, LateCase{32, 5},
                                           LateCase{32, 16}, LateCase{32, 18}, LateCase{32, 25},
                                           LateCase{32, 40}),
                         [](const ::testing::TestParamInfo<LateCase>& info) {
                             return std::to_string(info.param.recordSize) +
                                    "ByteRecordsAnsweredAfter" +
                                    std::to_string(info.param.turnaroundMs) + "ms";
                         });

// --- Refusals that come late -------------------------------------------------

struct RefusalCase {
    const char* name;
    std::string baud;
    std::size_t records;
    std::size_t size;
    std::vector<std::string> faults;
    char letter; // the refused command
    int expectedCode;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class LateRefusalTest : public EngineTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LateRefusalTest, EndsWithItsCodeAfterExactlyTenTriesEachFollowedByAResyncBlock) {
    // The second record's frame is refused. Its refusal comes later than the
    // frame's own write call plus the answer wait (long frames, slow
    // programming), but in time once the wait counts from the moment the
    // frame has left: it must never be credited to anything else.
    const RefusalCase c = GetParam();
    baud_ = c.baud;
    std::vector<std::string> args = {"--baud", c.baud};
    args.insert(args.end(), c.faults.begin(), c.faults.end());
    auto& sim = StartSim(args);
    const auto chunks = Records(0, c.records, c.size);
    WriteImage("refused.hex", HexText(chunks));

    EXPECT_EQ(RunUnattended(MakeSettings(), 60s), c.expectedCode);

    const auto refused = c.size; // offset of the second record
    std::size_t tries = 0;
    for (const auto& f : Frames(c.letter)) {
        if (f.value == refused) {
            ++tries;
            EXPECT_EQ(f.attempt, tries) << "try " << tries;
        }
    }
    EXPECT_EQ(tries, 10u);
    const auto stats = sim.Stats();
    EXPECT_EQ(stats.resyncBlocks, 10u) << "one after every refused try, and every one arrived";
    EXPECT_EQ(stats.retries, 9u) << "nothing but the refused frame was repeated";
    const auto frames = Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().value, refused) << "nothing is sent after the last refused try";
    EXPECT_EQ(frames.back().letter, c.letter);
    EXPECT_EQ(FlashRange(0, c.size), chunks[0].bytes);
    if (c.letter == 'W') {
        EXPECT_EQ(FlashRange(c.size, c.size), std::vector<std::uint8_t>(c.size, 0xFF));
        EXPECT_TRUE(Frames('V').empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paced, LateRefusalTest,
    ::testing::Values(
        // 128-byte frames take 11.9 ms on the line and 7.7 ms to program.
        RefusalCase{"SlowProgrammingAt115200",
                    "115200",
                    8,
                    128,
                    {"--write-us-per-byte", "60", "--nak", "W@2"},
                    'W',
                    7},
        // A 250-byte frame takes 135 ms on the line, the answer wait 106 ms.
        RefusalCase{"LongWriteFramesAt19200",
                    "19200",
                    2,
                    250,
                    {"--write-us-per-byte", "60", "--nak", "W@2"},
                    'W',
                    7},
        RefusalCase{"LongVerifyFramesAt19200", "19200", 2, 250, {"--nak", "V@2"}, 'V', 8}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// --- Long frames ---------------------------------------------------------------

TEST_F(EngineTest, SlowErasesAreTakenOnceEvenWhenTheirAnswerComesAfterTheWait) {
    // 30 ms per page at 115200 baud: the acknowledgement comes after the
    // 19 ms answer wait, during the quiet period of the refused try. It
    // stands for that try, so every page is erased once and the download
    // goes on; a mass erase the same.
    baud_ = "115200";
    StartSim({"--baud", "115200", "--erase-ms", "30"});
    const auto chunks = Records(0, 3 * 512 / 32, 32);
    WriteImage("pages.hex", HexText(chunks));
    EXPECT_EQ(RunUnattended(MakeSettings(), 30s), 0);
    EXPECT_EQ(Frames('E').size(), 3u) << "one erase frame per page";
    EXPECT_EQ(FlashRange(0, 3 * 512), Concat(chunks));

    // A fresh target, which announces itself again.
    window_.Clear();
    sim_->Stop();
    StartSim({"--baud", "115200", "--erase-ms", "30"});
    Settings mass = MakeSettings();
    mass.massErase = "Yes";
    EXPECT_EQ(RunUnattended(mass, 30s), 0);
    EXPECT_EQ(Frames('E').size(), 1u);
}

TEST_F(EngineTest, LongestFramesAt9600BaudGoThroughWithoutASingleRepeat) {
    // 259 bytes on the wire take 270 ms, longer than the 210 ms answer wait.
    baud_ = "9600";
    auto& sim = StartSim({"--baud", "9600"});
    const auto chunks = Records(0, 4, 250);
    WriteImage("long.hex", HexText(chunks));

    EXPECT_EQ(RunUnattended(MakeSettings(), 60s), 0);

    const auto stats = sim.Stats();
    EXPECT_EQ(stats.retries, 0u);
    EXPECT_EQ(stats.resyncBlocks, 0u);
    EXPECT_EQ(stats.naks + stats.unanswered, 0u);
    EXPECT_EQ(Frames('W').size(), 4u);
    EXPECT_EQ(Frames('V').size(), 4u);
    EXPECT_EQ(FlashRange(0, 1000), Concat(chunks));
}

// --- Stops -----------------------------------------------------------------------

// The worker's stop takes effect within the port's stop latency plus what a
// loaded machine adds, not after the wait in hand.
constexpr auto kStopBound = std::chrono::milliseconds(kStopLatencyMs) + 50ms;

TEST_F(EngineTest, StopWhileWaitingForTheIdentificationAt50BaudEndsAtOnce) {
    // One 24-byte read waits 40 s at 50 baud.
    baud_ = "50";
    auto& sim = StartSim({"--never-announce"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->Flags().Unattended.Begin();
    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("    Press Download and pulse Reset on hardware.", 5s));
    std::this_thread::sleep_for(300ms);

    const auto start = Clock::now();
    worker_->RequestStop();
    worker_->Join();
    EXPECT_LT(Clock::now() - start, kStopBound);
    // The device was let go: another owner can take it at once.
    CSerialPort next;
    EXPECT_TRUE(next.Open(sim.DevicePath(), "50"));
}

TEST_F(EngineTest, StopWhileAFrameWaitsForItsAnswerSendsNothingMore) {
    // A silent erase at 1200 baud: each try waits 1669 ms, 100 tries.
    baud_ = "1200";
    auto& sim = StartSim({"--baud", "1200", "--silent", "E"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->Flags().Unattended.Begin();
    worker_->PressStart();
    ASSERT_TRUE(WaitUntil([&] { return sim.Stats().frames >= 1; }, 10s));
    std::this_thread::sleep_for(300ms);

    const auto start = Clock::now();
    worker_->RequestStop();
    worker_->Join();
    EXPECT_LT(Clock::now() - start, kStopBound);
    std::this_thread::sleep_for(100ms);
    const auto stats = sim.Stats();
    EXPECT_EQ(stats.frames, 1u);
    EXPECT_EQ(stats.resyncBlocks, 0u);
    const auto lines = window_.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Flashing Complete."), 0);
}

// --- The learnt answer wait from run to run ----------------------------------

// Whether the host sent a resynchronisation block right after the first
// frame of the letter: the answer came later than the answer wait in force.
bool ResyncRightAfter(const std::vector<zarq::LogEntry>& log, char letter) {
    const auto frame = std::find_if(log.begin(), log.end(), [&](const zarq::LogEntry& e) {
        return e.kind == zarq::LogEntry::Kind::Frame && e.letter == letter;
    });
    if (frame == log.end()) {
        ADD_FAILURE() << "no " << letter << " frame";
        return false;
    }
    const auto next = std::next(frame);
    return next != log.end() && next->kind == zarq::LogEntry::Kind::Resync;
}

// Whether the worker reports its runs to an observer must not change how it
// talks to the target: each download learns the answer wait afresh, and the
// run step that follows a download keeps what that download learnt, also
// after an earlier run failed.
class LearntWaitTest : public EngineTest, public ::testing::WithParamInterface<bool> {
protected:
    // A fresh target, as one announces itself only once, 40 ms slower to
    // answer than the 19 ms that 115200 baud waits for at first.
    Settings SlowTarget(Settings s, const std::vector<std::string>& extra = {}) {
        if (sim_) sim_->Stop();
        std::vector<std::string> args = {"--answer-delay-ms", "40"};
        args.insert(args.end(), extra.begin(), extra.end());
        StartSim(args);
        s.port = sim_->DevicePath();
        return s;
    }
    // Starts a download with these settings and waits for its last line.
    void Download(const Settings& s, const std::string& lastLine) {
        worker_->SetSettings(s);
        window_.Clear();
        worker_->PressStart();
        ASSERT_TRUE(window_.WaitLine(lastLine, 20s));
        ASSERT_TRUE(worker_->WaitIdle(5s));
    }
};

TEST_P(LearntWaitTest, EachDownloadLearnsAfreshAndItsRunStepKeepsWhatItLearnt) {
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    LinkObserver observer;
    Settings s = SlowTarget(MakeSettings(), {"--part", "ZaRQ4124"});
    worker_ = std::make_unique<SerialThread>(window_, s);
    if (GetParam()) {
        ASSERT_TRUE(worker_->SetRunObserver(&observer));
    }
    worker_->SetImagePath(s.imageFile);

    // A failed run first: the wrong part.
    ASSERT_NO_FATAL_FAILURE(Download(s, "Select correct part from the Configure Dialog."));

    // Then a download with Autorun: its first frame meets the rate's wait,
    // and the run frame the wait the download learnt.
    s.autorun = "Yes";
    ASSERT_NO_FATAL_FAILURE(Download(s = SlowTarget(s), "Running."));
    EXPECT_TRUE(ResyncRightAfter(sim_->Log(), 'E'))
        << "the first download began with a learnt wait";
    EXPECT_FALSE(ResyncRightAfter(sim_->Log(), 'R')) << "the run step forgot the learnt wait";
    EXPECT_EQ(Frames('R').size(), 1u);

    // The next download begins from the rate's wait again.
    s.autorun = "No";
    ASSERT_NO_FATAL_FAILURE(Download(SlowTarget(s), "Flashing Complete."));
    EXPECT_TRUE(ResyncRightAfter(sim_->Log(), 'E')) << "the wait learnt before was kept";
    EXPECT_TRUE(window_.Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Observer, LearntWaitTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Reported" : "NotReported");
                         });

} // namespace
} // namespace talvex::testing
