// The simulator as a line that a host can get wrong: bytes reach the target
// only as fast as the line carries them, the target keeps listening while it
// works, refusals take as long as the work they refuse, and resync blocks
// are counted so that a test can see whether they arrived.

#include "sim_host.h"

#include <algorithm>

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

TEST(SimResync, WholeBlocksBetweenFramesAreCountedAndNothingElse) {
    const Bytes w = Frame('W', 0x30, {0x42});
    const struct {
        const char* name;
        std::vector<Bytes> writes; // sent one after another, 10 ms apart
        std::uint64_t blocks;
        std::uint64_t skipped;
    } cases[] = {
        {"block", {ResyncBlock()}, 1, 0},
        {"block in two pieces", {Bytes(23, 0), {0x07, 0x07}}, 1, 0},
        {"block after stray zeros", {Concat({Bytes(7, 0), ResyncBlock()})}, 1, 7},
        {"two blocks", {Concat({ResyncBlock(), ResyncBlock()})}, 2, 0},
        {"too few zeros", {Concat({Bytes(22, 0), {0x07, 0x07}})}, 0, 24},
        {"block cut short", {Concat({Bytes(23, 0), {0x07, 0x55}})}, 0, 25},
    };
    for (const auto& c : cases) {
        SimRun run({"--never-announce"});
        for (const Bytes& piece : c.writes) {
            run.host->Send(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(run.host->Exchange(w), kAck) << c.name;
        const zarq::SimStats st = run.sim->Stats();
        EXPECT_EQ(st.resyncBlocks, c.blocks) << c.name;
        EXPECT_EQ(st.bytesSkipped, c.skipped) << c.name;
        EXPECT_EQ(st.frames, 1u) << c.name;
    }
}

TEST(SimPacing, PacedLineHandsBytesToTheTargetNoFasterThanItCarriesThem) {
    // 100 stray bytes at 9600 baud take 104 ms on the line.
    SimRun run({"--baud", "9600", "--never-announce"});
    const auto t0 = Clock::now();
    run.host->Send(Bytes(100, 0x55));
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(40));
    const std::uint64_t early = run.sim->Stats().bytesSkipped;
    const double at = MsSince(t0);
    EXPECT_LE(early, static_cast<std::uint64_t>(at * 9600 / 10000) + 1) << "after " << at << " ms";
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(250));
    EXPECT_EQ(run.sim->Stats().bytesSkipped, 100u);
}

TEST(SimPacing, TargetKeepsListeningWhileItsAnswerIsDelayed) {
    // A slow adapter holds the answer back for 100 ms. The host gives up
    // early and sends its resync block and the frame again meanwhile: the
    // target takes both as they arrive, and answers in order.
    SimRun run({"--turnaround-ms", "100"});
    const Bytes w = Frame('W', 0x50, {1, 2, 3});
    const auto t0 = Clock::now();
    run.host->Send(w);
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(20));
    run.host->Send(ResyncBlock());
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(40));
    run.host->Send(w);
    EXPECT_EQ(run.host->Answer(3000), kAck);
    const double first = MsSince(t0);
    EXPECT_EQ(run.host->Answer(3000), kAck);
    const double second = MsSince(t0);
    EXPECT_GE(first, 100);
    EXPECT_GE(second, 140);

    const auto log = run.sim->Log();
    const auto resync = std::find_if(log.begin(), log.end(), [](const zarq::LogEntry& e) {
        return e.kind == zarq::LogEntry::Kind::Resync;
    });
    ASSERT_NE(resync, log.end());
    EXPECT_LT(resync->timeUs, 80'000u) << "taken when it came, not after the answer";
    const zarq::SimStats st = run.sim->Stats();
    EXPECT_EQ(st.resyncBlocks, 1u);
    EXPECT_EQ(st.retries, 1u);
}

TEST(SimPacing, RefusalComesAsLateAsTheWorkItRefuses) {
    struct Case {
        std::vector<std::string> args;
        Bytes frame;
        double minMs;
    };
    const Case cases[] = {
        {{"--write-us-per-byte", "500", "--nak", "W@1"}, Frame('W', 0, Bytes(100, 0)), 50},
        {{"--erase-ms", "25", "--ack-after", "1:E@1"}, Frame('E', 0x200, {3}), 75},
    };
    for (const Case& c : cases) {
        SimRun run(c.args);
        const auto t0 = Clock::now();
        EXPECT_EQ(run.host->Exchange(c.frame), kNak) << ::testing::PrintToString(c.args);
        EXPECT_GE(MsSince(t0), c.minMs) << ::testing::PrintToString(c.args);
    }
}

TEST(SimPacing, AnswersNeverLeaveBeforeTheirTimeAndTheLineCountsHowLateTheyWere) {
    // The line wakes early and watches the clock for the rest; waking early
    // must never mean answering early. 20 frames of 25 bytes at 115200 baud
    // take 2.2 ms each on the line, plus the 3 ms turnaround.
    SimRun run({"--baud", "115200", "--turnaround-ms", "3", "--never-announce"});
    const Bytes w = Frame('W', 0x40, Bytes(16, 0x5A));
    const double wireMs = (w.size() + 1) * 10.0 / 115.2;
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        ASSERT_EQ(run.host->Exchange(w), kAck) << "frame " << i;
        EXPECT_GE(MsSince(t0), wireMs + 3.0) << "frame " << i;
    }
    const zarq::SimStats st = run.sim->Stats();
    EXPECT_EQ(st.answersSent, 20u);
    EXPECT_LE(st.answerLateNsMax, st.answerLateNsTotal);
}

} // namespace
