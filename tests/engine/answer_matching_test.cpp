// Downloads against targets whose answers come late, twice or not at all:
// whatever the timing, a run ends with code 0 only when the target's flash
// holds the image, and otherwise with the code of the pass that failed.

#include "engine_fixture.h"
#include "link_observer.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

struct TimingCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::string baud;
    bool verify;
    int frameBytes;
    int code;            // the code the run must end with
    bool misalignedSeen; // the link must have found answers out of step
    // A second code the run may end with, where the timing decides which
    // of two failures shows first.
    int orCode = -1;
};

void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class AnswerTimingTest : public EngineTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(AnswerTimingTest, ExitsZeroOnlyWithTheImageInFlash) {
    const TimingCase& c = GetParam();
    baud_ = c.baud;
    StartSim(c.simArgs);
    // Six 16-byte records, or sixty-four for the packed cases, so that the
    // fifth packed frame exists.
    const std::vector<Chunk> chunks = Records(0, c.frameBytes > 0 ? 64 : 6, 16);
    WriteImage("image.hex", HexText(chunks));
    Settings s = MakeSettings();
    s.verify = c.verify ? "Yes" : "No";
    s.frameBytes = c.frameBytes;
    LinkObserver link;
    const int code =
        RunUnattended(s, 60s, [&](SerialThread& worker) { worker.SetRunObserver(&link); });

    bool imageInFlash = true;
    for (const Chunk& chunk : chunks)
        imageInFlash = imageInFlash && FlashRange(chunk.address, chunk.bytes.size()) == chunk.bytes;
    if (code != c.orCode) {
        EXPECT_EQ(code, c.code);
    }
    if (code == 0) {
        EXPECT_TRUE(imageInFlash) << "exit 0 with a flash that differs from the image";
    }
    if (c.code != 0) {
        EXPECT_FALSE(imageInFlash) << "the case is meant to leave a gap";
    }
    ASSERT_TRUE(link.reported);
    if (c.misalignedSeen) {
        EXPECT_GT(link.misaligned, 0u);
    }
}

// At 230400 baud the baud rate's answer wait is 10 ms; at 115200 19 ms.
INSTANTIATE_TEST_SUITE_P(
    Targets, AnswerTimingTest,
    ::testing::Values(
        // A slow writer (80 ms a record) that ignores its third write: the
        // answers its neighbours' repeats still owe must not cover it.
        TimingCase{"SlowWriterIgnoresAWriteVerifyOn",
                   {"--baud", "115200", "--write-us-per-byte", "5000", "--silent", "W@3"},
                   "115200",
                   true,
                   0,
                   7,
                   false},
        TimingCase{"SlowWriterIgnoresAWriteVerifyOff",
                   {"--baud", "115200", "--write-us-per-byte", "5000", "--silent", "W@3"},
                   "115200",
                   false,
                   0,
                   7,
                   false},
        // Packed frames at 921600 baud, 300 us a byte: every frame answers
        // late, and the fifth is refused three times, then taken; or
        // refused, or never answered.
        TimingCase{"PackedSlowFramesOneTakenAfterThreeRefusals",
                   {"--baud", "921600", "--turnaround-ms", "1", "--write-us-per-byte", "300",
                    "--ack-after", "3:W@5"},
                   "921600",
                   true,
                   64,
                   0,
                   false},
        TimingCase{"PackedSlowFramesOneRefused",
                   {"--baud", "921600", "--turnaround-ms", "1", "--write-us-per-byte", "300",
                    "--nak", "W@5"},
                   "921600",
                   true,
                   64,
                   7,
                   false},
        TimingCase{"PackedSlowFramesOneIgnored",
                   {"--baud", "921600", "--turnaround-ms", "1", "--write-us-per-byte", "300",
                    "--silent", "W@5"},
                   "921600",
                   false,
                   64,
                   7,
                   false},
        // The second write answers 30 ms late, and its repeat 1 ms later
        // still: after the time the first answer took, yet owed all the
        // same. The third write is never answered.
        TimingCase{"OwedAnswerOneMillisecondPastTheFirstAnswersTime",
                   {"--baud", "230400", "--late-answer", "W@2:30", "--late-repeat", "W@2:+1",
                    "--silent", "W@3"},
                   "230400",
                   false,
                   0,
                   7,
                   false},
        TimingCase{"OwedAnswerOneMillisecondPastTheFirstAnswersTimePacked",
                   {"--baud", "230400", "--late-answer", "W@2:30", "--late-repeat", "W@2:+1",
                    "--silent", "W@3"},
                   "230400",
                   true,
                   64,
                   7,
                   false},
        // The late answer of the first try comes during the guard before
        // the next frame.
        TimingCase{"AcknowledgementDuringTheSilenceGuard",
                   {"--baud", "230400", "--late-answer", "W@2:25", "--silent", "W@3"},
                   "230400",
                   true,
                   0,
                   7,
                   false},
        // The second write is refused once, its refusal coming after the
        // repeat went out, and the repeat is taken.
        TimingCase{"RefusalArrivingAfterTheRepeat",
                   {"--baud", "230400", "--ack-after", "1:W@2", "--late-answer", "W@2:30",
                    "--late-repeat", "W@2:+1"},
                   "230400",
                   false,
                   0,
                   0,
                   false},
        TimingCase{"RefusalArrivingAfterTheRepeatThenAnIgnoredWrite",
                   {"--baud", "230400", "--ack-after", "1:W@2", "--late-answer", "W@2:30",
                    "--late-repeat", "W@2:+1", "--silent", "W@3"},
                   "230400",
                   true,
                   0,
                   7,
                   false},
        // A duplicate acknowledgement shifts every later answer by one
        // frame; the run must find it and have the target verify.
        TimingCase{"DuplicateAcknowledgement",
                   {"--baud", "115200", "--double-answer", "W@2"},
                   "115200",
                   false,
                   0,
                   0,
                   true},
        TimingCase{"DuplicateAcknowledgementPacked",
                   {"--baud", "115200", "--double-answer", "W@2"},
                   "115200",
                   true,
                   64,
                   0,
                   true},
        // Every answer twice, and one write refused: out of step from the
        // first erase on. The refusal fails the write, or, where a copy
        // stood in for it, the target's verify of what was erased and
        // written does.
        TimingCase{"EveryAnswerTwiceOneWriteRefused",
                   {"--baud", "115200", "--double-answer", "*", "--nak", "W@3"},
                   "115200",
                   true,
                   0,
                   7,
                   true,
                   5},
        TimingCase{"EveryAnswerTwiceOneWriteRefusedVerifyOff",
                   {"--baud", "115200", "--double-answer", "*", "--nak", "W@3"},
                   "115200",
                   false,
                   0,
                   7,
                   true,
                   5}),
    [](const ::testing::TestParamInfo<TimingCase>& info) { return info.param.name; });

TEST_F(EngineTest, SteadySlowTargetIsSentEachRecordOnceAfterItsFirstLateAnswer) {
    baud_ = "230400";
    StartSim({"--baud", "230400", "--answer-delay-ms", "25"});
    const std::vector<Chunk> chunks = Records(0, 32, 32);
    WriteImage("image.hex", HexText(chunks));
    Settings s = MakeSettings();
    s.verify = "No";
    LinkObserver link;
    ASSERT_EQ(RunUnattended(s, 60s, [&](SerialThread& worker) { worker.SetRunObserver(&link); }),
              0);
    // The page erase is the first command: only its tries come before the
    // answer time is known.
    const auto writes = Frames('W');
    EXPECT_EQ(writes.size(), chunks.size());
    for (const auto& w : writes) EXPECT_FALSE(w.retry) << std::hex << w.value;
    EXPECT_GE(link.answerWaitMs, 50u);
    EXPECT_EQ(link.misaligned, 0u);
}

} // namespace
} // namespace talvex::testing
