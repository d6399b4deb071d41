// Answer timing that a host's tests can place exactly: a fixed hold, a
// seeded jitter, a later try held more than the first, an answer sent twice.
// Lower bounds are asserted tightly (an answer must never come early), upper
// bounds loosely (a loaded machine, or a sanitizer, may stall a thread).
// Exact holds are read back from the log, where no scheduling noise reaches.

#include "sim_host.h"

#include <algorithm>
#include <optional>

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kSlackMs = 1500;

// A distinct write command for each n, so that none is a try of another.
Bytes Write(std::uint32_t n) { return Frame('W', 16 * n, {static_cast<std::uint8_t>(n), 2, 3, 4}); }

struct Arrival {
    int byte;
    double ms; // after t0; the byte was there no later than this
};

// Reads byte by byte, so that each one is timed on its own.
std::vector<Arrival> ReadEach(TestHost& host, std::size_t count, Clock::time_point t0,
                              int timeoutMs = 5000) {
    std::vector<Arrival> out;
    while (out.size() < count) {
        const Bytes b = host.Read(1, timeoutMs);
        if (b.empty()) break;
        out.push_back({b[0], MsSince(t0)});
    }
    return out;
}

std::vector<zarq::LogEntry> Frames(const zarq::Simulator& sim) {
    std::vector<zarq::LogEntry> frames;
    for (const zarq::LogEntry& e : sim.Log())
        if (e.kind == zarq::LogEntry::Kind::Frame) frames.push_back(e);
    return frames;
}

// The holds of the answered frames, in the order the frames came.
std::vector<std::uint64_t> Holds(const zarq::Simulator& sim) {
    std::vector<std::uint64_t> holds;
    for (const zarq::LogEntry& e : Frames(sim))
        if (e.answer) holds.push_back(e.holdUs);
    return holds;
}

TEST(SimAnswerTiming, EveryAnswerLeavesTheAskedDelayAfterItsFrame) {
    const Bytes w = Write(0);
    struct Case {
        std::vector<std::string> args;
        double minMs;
    };
    const Case cases[] = {
        {{"--answer-delay-ms", "40"}, 40},
        {{"--answer-delay-ms", "25", "--turnaround-ms", "15"}, 40},
        // 4 bytes of 5 ms each, then the hold; a refusal waits for the same
        // work.
        {{"--answer-delay-ms", "30", "--write-us-per-byte", "5000"}, 50},
        // The frame and the answer byte take their time on the line as well.
        {{"--answer-delay-ms", "20", "--baud", "9600"}, 20 + (w.size() + 1) * 10 / 9.6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--nak", "W@2"});
        SimRun run(args);
        const int expected[] = {kAck, kNak, kAck};
        for (std::uint32_t i = 0; i < 3; ++i) {
            const auto t0 = Clock::now();
            EXPECT_EQ(run.host->Exchange(Write(i)), expected[i]) << "frame " << i;
            const double ms = MsSince(t0);
            EXPECT_GE(ms, c.minMs) << "frame " << i;
            EXPECT_LE(ms, c.minMs + kSlackMs) << "frame " << i;
        }
    }
}

TEST(SimAnswerTiming, IdentificationIsHeldLikeAnyAnswer) {
    SimRun run({"--answer-delay-ms", "40"});
    const auto t0 = Clock::now();
    run.host->Send({0x08});
    const Bytes first = run.host->Read(1, 3000);
    const double ms = MsSince(t0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_GE(ms, 40);
    EXPECT_LE(ms, 40 + kSlackMs);
    const Bytes rest = run.host->Read(64, 3000, 50);
    EXPECT_EQ(char(first[0]) + std::string(rest.begin(), rest.end()),
              run.sim->IdentificationText());
}

TEST(SimAnswerTiming, TargetTakesTheNextFrameWhileAnAnswerIsHeld) {
    // The second frame comes 30 ms into the first one's 100 ms hold: the
    // target takes it then, and holds its answer from then on.
    SimRun run({"--answer-delay-ms", "100", "--nak", "W@2"});
    const auto t0 = Clock::now();
    run.host->Send(Write(1));
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(30));
    run.host->Send(Write(2));
    const std::vector<Arrival> got = ReadEach(*run.host, 2, t0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].byte, kAck);
    EXPECT_EQ(got[1].byte, kNak);
    EXPECT_GE(got[0].ms, 100);
    EXPECT_GE(got[1].ms, 130);
    EXPECT_LE(got[1].ms, 130 + kSlackMs);

    const auto frames = Frames(*run.sim);
    ASSERT_EQ(frames.size(), 2u);
    // Taken when it came, 30 ms after the first; not once the first answer
    // had gone, 100 ms after it.
    EXPECT_LT(frames[1].timeUs - frames[0].timeUs, 90'000u);
}

TEST(SimAnswerTiming, JitteredAnswersLeaveInTheOrderOfTheirFrames) {
    // Ten frames in one write; each answer drawn its own hold. A refusal
    // pattern shows any answer overtaking another.
    SimRun run({"--jitter-ms", "40", "--seed", "11", "--nak", "W@2,W@3,W@5,W@8"});
    Bytes all;
    for (std::uint32_t i = 1; i <= 10; ++i) all = Concat({all, Write(i)});
    const auto t0 = Clock::now();
    run.host->Send(all);
    const std::vector<Arrival> got = ReadEach(*run.host, 10, t0);
    const int A = kAck, N = kNak;
    const std::vector<int> expected = {A, N, N, A, N, A, A, N, A, A};
    std::vector<int> bytes;
    for (const Arrival& a : got) bytes.push_back(a.byte);
    EXPECT_EQ(bytes, expected);

    const std::vector<std::uint64_t> holds = Holds(*run.sim);
    ASSERT_EQ(holds.size(), 10u);
    // Else this seed would not put the order to the test.
    ASSERT_FALSE(std::is_sorted(holds.begin(), holds.end())) << ::testing::PrintToString(holds);
    std::uint64_t latest = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        latest = std::max(latest, holds[i]);
        EXPECT_GE(got[i].ms, latest / 1000.0) << "answer " << i;
    }
}

TEST(SimAnswerTiming, JitterStaysWithinItsRangeAndASeedRepeatsIt) {
    const std::vector<std::string> base = {"--answer-delay-ms", "5", "--jitter-ms", "20"};
    const auto holdsOf = [&](std::vector<std::string> extra, std::uint64_t* seed = nullptr) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        SimRun run(args);
        std::vector<double> ms;
        for (std::uint32_t i = 0; i < 20; ++i) {
            const auto t0 = Clock::now();
            EXPECT_EQ(run.host->Exchange(Write(i)), kAck);
            ms.push_back(MsSince(t0));
        }
        const std::vector<std::uint64_t> holds = Holds(*run.sim);
        EXPECT_EQ(holds.size(), 20u);
        for (std::size_t i = 0; i < holds.size() && i < ms.size(); ++i) {
            EXPECT_GE(holds[i], 5'000u) << "answer " << i;
            EXPECT_LE(holds[i], 25'000u) << "answer " << i;
            EXPECT_GE(ms[i], holds[i] / 1000.0) << "answer " << i;
            EXPECT_LE(ms[i], holds[i] / 1000.0 + kSlackMs) << "answer " << i;
        }
        if (seed) *seed = run.sim->Seed();
        return holds;
    };
    const auto a = holdsOf({"--seed", "42"});
    const auto b = holdsOf({"--seed", "42"});
    const auto c = holdsOf({"--seed", "43"});
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    ASSERT_FALSE(a.empty());
    const auto [low, high] = std::minmax_element(a.begin(), a.end());
    EXPECT_GE(*high - *low, 10'000u) << "drawn over the range, not stuck near one value";

    // A seed taken from the clock is told, and repeats the run.
    std::uint64_t seed = 0;
    const auto d = holdsOf({}, &seed);
    EXPECT_EQ(holdsOf({"--seed", std::to_string(seed)}), d);
}

TEST(SimAnswerTiming, LateRepeatHoldsEveryLaterTryByTheExtraOverTheFirst) {
    const int A = kAck, N = kNak;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<int> answers; // one per try of the one command
        std::uint64_t firstMinUs, firstMaxUs;
        std::optional<std::uint64_t> repeatExtraUs; // later tries: first try's hold + this
        std::uint64_t drawMinUs = 0, drawMaxUs = 0; // else each their own draw
    };
    const Case cases[] = {
        {"repeat only",
         {"--ack-after", "2:W@1", "--late-repeat", "W@1:+30"},
         {N, N, A},
         0,
         0,
         30'000},
        {"late first try carried over",
         {"--ack-after", "1:W@1", "--late-answer", "W@1:20", "--late-repeat", "W@1:+5"},
         {N, A},
         20'000,
         20'000,
         5'000},
        {"first try's jitter carried over",
         {"--ack-after", "2:W@1", "--jitter-ms", "10", "--seed", "5", "--late-repeat", "W@1:+15"},
         {N, N, A},
         0,
         10'000,
         15'000},
        {"late answer holds the first try only",
         {"--ack-after", "1:W@1", "--late-answer", "W@1:40"},
         {N, A},
         40'000,
         40'000,
         std::nullopt,
         0,
         0},
        {"other command selected",
         {"--ack-after", "1:W@1", "--answer-delay-ms", "3", "--late-repeat", "W@2:+30"},
         {N, A},
         3'000,
         3'000,
         std::nullopt,
         3'000,
         3'000},
    };
    const Bytes w = Write(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimRun run(c.args);
        std::vector<double> ms;
        for (std::size_t t = 0; t < c.answers.size(); ++t) {
            if (t > 0) run.host->Send(ResyncBlock());
            const auto t0 = Clock::now();
            EXPECT_EQ(run.host->Exchange(w), c.answers[t]) << "try " << t + 1;
            ms.push_back(MsSince(t0));
        }
        const auto frames = Frames(*run.sim);
        ASSERT_EQ(frames.size(), c.answers.size());
        const std::uint64_t first = frames[0].holdUs;
        EXPECT_GE(first, c.firstMinUs);
        EXPECT_LE(first, c.firstMaxUs);
        for (std::size_t t = 0; t < frames.size(); ++t) {
            EXPECT_EQ(frames[t].attempt, t + 1);
            if (t > 0 && c.repeatExtraUs) {
                EXPECT_EQ(frames[t].holdUs, first + *c.repeatExtraUs) << "try " << t + 1;
            } else if (t > 0) {
                EXPECT_GE(frames[t].holdUs, c.drawMinUs) << "try " << t + 1;
                EXPECT_LE(frames[t].holdUs, c.drawMaxUs) << "try " << t + 1;
            }
            EXPECT_GE(ms[t], frames[t].holdUs / 1000.0) << "try " << t + 1;
            EXPECT_LE(ms[t], frames[t].holdUs / 1000.0 + kSlackMs) << "try " << t + 1;
        }
    }
}

TEST(SimAnswerTiming, HeldRefusalArrivesAfterTheRepeatAndTheRepeatsAnswerFollowsIt) {
    // A host that gave up on the first try after 20 ms and repeated it: the
    // refusal it was owed comes while it waits for the repeat's answer, and
    // that answer comes 1 ms later after the repeat than the refusal did
    // after the first try.
    SimRun run({"--ack-after", "1:W@1", "--late-answer", "W@1:200", "--late-repeat", "W@1:+1"});
    const Bytes w = Write(1);
    const auto t0 = Clock::now();
    run.host->Send(w);
    EXPECT_TRUE(run.host->Read(1, 20).empty()) << "nothing before the hold";
    const auto t1 = Clock::now();
    run.host->Send(Concat({ResyncBlock(), w}));
    const std::vector<Arrival> got = ReadEach(*run.host, 2, t0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].byte, kNak);
    EXPECT_EQ(got[1].byte, kAck);
    const double repeatSent = std::chrono::duration<double, std::milli>(t1 - t0).count();
    EXPECT_GE(got[0].ms, 200);
    EXPECT_GE(got[1].ms - repeatSent, 201);
    EXPECT_LE(got[1].ms - repeatSent, 201 + kSlackMs);

    const auto frames = Frames(*run.sim);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[1].retry);
    EXPECT_EQ(frames[1].holdUs, 201'000u);
    EXPECT_LT(frames[1].timeUs - frames[0].timeUs, 200'000u)
        << "the repeat came while the refusal was held";
    EXPECT_EQ(run.sim->Stats().resyncBlocks, 1u);
}

TEST(SimAnswerTiming, DoubleAnswerSendsTheSameByteTwiceAfterTheGap) {
    const int A = kAck, N = kNak;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<int> bytes;
        double firstMinMs, secondMinMs;
    };
    const Case cases[] = {
        {"gap of 1 ms by default", {"--double-answer", "W@1"}, {A, A}, 0, 1},
        {"gap given", {"--double-answer", "W@1:40"}, {A, A}, 0, 40},
        {"refusal doubled", {"--nak", "W@1", "--double-answer", "*"}, {N, N}, 0, 1},
        {"held, then doubled",
         {"--answer-delay-ms", "30", "--double-answer", "W:20"},
         {A, A},
         30,
         50},
        {"other command selected", {"--double-answer", "W@2"}, {A}, 0, 0},
        {"silence stays silent", {"--silent", "W@1", "--double-answer", "*"}, {}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimRun run(c.args);
        const auto t0 = Clock::now();
        run.host->Send(Write(1));
        const std::vector<Arrival> got =
            ReadEach(*run.host, c.bytes.size(), t0, c.bytes.empty() ? 300 : 5000);
        std::vector<int> bytes;
        for (const Arrival& a : got) bytes.push_back(a.byte);
        EXPECT_EQ(bytes, c.bytes);
        if (got.size() >= 1) {
            EXPECT_GE(got[0].ms, c.firstMinMs);
        }
        if (got.size() >= 2) {
            EXPECT_GE(got[1].ms, c.secondMinMs);
            EXPECT_LE(got[1].ms, c.secondMinMs + kSlackMs);
        }
        EXPECT_TRUE(run.host->Read(1, 150).empty()) << "no third byte";

        const zarq::SimStats st = run.sim->Stats();
        const bool doubled = c.bytes.size() == 2;
        EXPECT_EQ(st.doubledAnswers, doubled ? 1u : 0u);
        EXPECT_EQ(st.acks + st.naks, c.bytes.empty() ? 0u : 1u) << "one answer, sent twice";
        const auto frames = Frames(*run.sim);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].doubled, doubled);
        EXPECT_EQ(run.sim->SummaryLine().find("answers doubled") != std::string::npos, doubled)
            << run.sim->SummaryLine();
    }
}

TEST(SimAnswerTiming, CopyOfADoubledAnswerComesBeforeTheNextAnswer) {
    SimRun run({"--double-answer", "W@1:40", "--nak", "W@2"});
    const auto t0 = Clock::now();
    run.host->Send(Concat({Write(1), Write(2)}));
    const std::vector<Arrival> got = ReadEach(*run.host, 3, t0);
    std::vector<int> bytes;
    for (const Arrival& a : got) bytes.push_back(a.byte);
    EXPECT_EQ(bytes, (std::vector<int>{kAck, kAck, kNak}));
    if (got.size() == 3) {
        EXPECT_GE(got[2].ms, 40);
    }
}

TEST(SimAnswerTiming, DoubledAnswerGoesOutTwiceBeforeTheLineIsClosed) {
    SimRun run({"--hangup-after", "1", "--double-answer", "*:20"});
    const auto t0 = Clock::now();
    run.host->Send(Write(1));
    const std::vector<Arrival> got = ReadEach(*run.host, 2, t0);
    std::vector<int> bytes;
    for (const Arrival& a : got) bytes.push_back(a.byte);
    EXPECT_EQ(bytes, (std::vector<int>{kAck, kAck}));
    if (got.size() == 2) {
        EXPECT_GE(got[1].ms, 20);
    }
    ASSERT_TRUE(run.sim->WaitFinished(5000));
    EXPECT_EQ(run.sim->Reason(), zarq::FinishReason::HungUp);
}

TEST(SimAnswerTiming, LogShowsTheHoldAndTheDoublingOnlyWhenThereAreAny) {
    zarq::LogEntry plain;
    plain.kind = zarq::LogEntry::Kind::Frame;
    plain.answer = 0x06;
    const std::string p = zarq::FormatLogLine(plain);
    EXPECT_EQ(p.find("hold_us"), std::string::npos) << p;
    EXPECT_EQ(p.find("doubled"), std::string::npos) << p;

    zarq::LogEntry held = plain;
    held.holdUs = 12'345;
    held.doubled = true;
    const std::string h = zarq::FormatLogLine(held);
    EXPECT_NE(h.find(R"("answer":"06","hold_us":12345,"doubled":true)"), std::string::npos) << h;

    zarq::LogEntry id;
    id.kind = zarq::LogEntry::Kind::Identification;
    id.note = "ZaRQ4126 BOOT rJ.2";
    id.holdUs = 40'000;
    const std::string i = zarq::FormatLogLine(id);
    EXPECT_NE(i.find(R"("hold_us":40000)"), std::string::npos) << i;
}

} // namespace
