// Framing, checksum, resynchronisation, identification, reset and run, seen
// from a host that writes raw bytes to the pseudo-terminal.

#include "sim_host.h"

using namespace simtest;

namespace {

struct WorkedFrame {
    const char* name;
    const char* bytes;
};

TEST(SimFraming, AcknowledgesEveryWorkedFrameInOrder) {
    const WorkedFrame frames[] = {
        {"mass erase", "07 0E 06 45 00 00 00 00 00 B5"},
        {"page erase at 0x200", "07 0E 06 45 00 00 02 00 01 B2"},
        {"write abc at 0x100", "07 0E 08 57 00 00 01 00 61 62 63 7A"},
        {"verify abc", "07 0E 08 56 00 00 01 00 0B 13 1B 68"},
        {"begin protection", "07 0E 06 50 00 00 00 00 00 AA"},
        {"protect unit 0x80000", "07 0E 06 50 00 08 00 00 0F 93"},
        {"reset", "07 0E 05 52 00 00 00 01 A8"},
        {"run", "07 0E 05 52 00 00 00 00 A9"},
    };
    SimRun run({});
    ASSERT_TRUE(run.host->IsOpen());
    for (const auto& f : frames) EXPECT_EQ(run.host->Exchange(HexBytes(f.bytes)), kAck) << f.name;
    const zarq::SimStats st = run.sim->Stats();
    EXPECT_EQ(st.frames, 8u);
    EXPECT_EQ(st.acks, 8u);
    EXPECT_EQ(st.bytesWritten, 3u);
    EXPECT_TRUE(st.ran);
    EXPECT_EQ(st.resets, 1u);
    ASSERT_EQ(st.protection.units.size(), 1u);
    EXPECT_EQ(st.protection.units[0], 0x80000u);
}

TEST(SimFraming, RefusesBadFramesWithNak) {
    struct Case {
        const char* name;
        Bytes frame;
    };
    Bytes badSum = Frame('W', 0x10, {1, 2, 3});
    badSum.back() ^= 0x01;
    Bytes unknown = Frame('X', 0, {});
    Bytes lower = Frame('w', 0x10, {1});
    const Case cases[] = {
        {"checksum off by one", badSum},
        {"unknown letter X", unknown},
        {"lower-case letter", lower},
        {"length below 5", HexBytes("07 0E 04 45 00 00 00")},
        {"E without its page count", Frame('E', 0)},
        {"R with data", Frame('R', 0, {0})},
        {"R value 2", Frame('R', 2)},
        {"P with unknown sub-code", Frame('P', 0, {0x05})},
    };
    SimRun run({});
    for (const Case& c : cases) EXPECT_EQ(run.host->Exchange(c.frame), kNak) << c.name;
    // None of them touched the target: a good frame still works.
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x10, {0x12})), kAck);
    const zarq::SimStats st = run.sim->Stats();
    EXPECT_EQ(st.badFrames, 4u);
    EXPECT_EQ(st.naks, 8u);
    EXPECT_FALSE(st.ran);
    EXPECT_EQ(run.sim->Flash()[0x10], 0x12);
}

TEST(SimFraming, SkipsResyncBlocksAndStrayBytes) {
    SimRun run({"--never-announce"});
    Bytes noisy = {0x00, 0xFF, 0x07, 0x07, 0x55, 0x0E, 0x07};
    const Bytes w = Frame('W', 0x20, {0xA5});
    noisy.insert(noisy.end(), w.begin(), w.end());
    EXPECT_EQ(run.host->Exchange(noisy), kAck);
    Bytes resyncThenFrame = ResyncBlock();
    const Bytes w2 = Frame('W', 0x21, {0x5A});
    resyncThenFrame.insert(resyncThenFrame.end(), w2.begin(), w2.end());
    EXPECT_EQ(run.host->Exchange(resyncThenFrame), kAck);
    EXPECT_EQ(run.sim->Flash()[0x20], 0xA5);
    EXPECT_EQ(run.sim->Flash()[0x21], 0x5A);
    EXPECT_EQ(run.sim->Stats().frames, 2u);
    EXPECT_EQ(run.sim->Stats().bytesSkipped, 7u) << "the resync block is not stray";
    EXPECT_EQ(run.sim->Stats().resyncBlocks, 1u);
}

TEST(SimFraming, ResyncBlockCompletesAFrameThatLostBytes) {
    // A frame that lost two bytes on the way leaves the target waiting for
    // more; the resync block fills it up (bad checksum, NAK) and the repeated
    // frame is read cleanly.
    SimRun run({});
    Bytes cut = Frame('W', 0x40, {1, 2, 3, 4});
    cut.resize(cut.size() - 2);
    run.host->Send(cut);
    EXPECT_EQ(run.host->Answer(200), kNone);
    EXPECT_EQ(run.host->Exchange(ResyncBlock()), kNak);
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x40, {1, 2, 3, 4})), kAck);
    EXPECT_EQ(run.sim->Flash()[0x43], 4);
}

TEST(SimFraming, ReadsAFrameArrivingInPieces) {
    SimRun run({});
    const Bytes f = Frame('W', 0x80, {9, 8, 7, 6, 5});
    for (std::size_t i = 0; i + 1 < f.size(); ++i) {
        run.host->Send({f[i]});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(run.host->Answer(100), kNone);
    EXPECT_EQ(run.host->Exchange({f.back()}), kAck);
    EXPECT_EQ(run.sim->Flash()[0x84], 5);
}

TEST(SimFraming, AnswersEveryFrameOfABurstInOrder) {
    SimRun run({});
    Bytes burst;
    for (int i = 0; i < 50; ++i) {
        const Bytes f =
            i == 25 ? Frame('Q', 0) : Frame('W', 16u * i, {static_cast<std::uint8_t>(i)});
        burst.insert(burst.end(), f.begin(), f.end());
    }
    run.host->Send(burst);
    const Bytes answers = run.host->Read(50, 3000, 200);
    ASSERT_EQ(answers.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(answers[i], i == 25 ? kNak : kAck) << "frame " << i;
}

TEST(SimFraming, CarriesTheLargestFrame) {
    SimRun run({});
    Bytes data(250);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x1000, data)), kAck);
    EXPECT_EQ(run.host->Exchange(VerifyFrame(0x1000, data)), kAck);
    const auto flash = run.sim->Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x1000));
}

TEST(SimIdentification, AnnouncesOnceUntilReset) {
    SimRun run({});
    const std::string id = run.host->Identify();
    ASSERT_GE(id.size(), 18u);
    EXPECT_LE(id.size(), 24u);
    EXPECT_EQ(id.substr(0, 8), "ZaRQ4126");
    EXPECT_GE(id[15], 'I');
    EXPECT_TRUE(id[17] >= '1' && id[17] <= '9') << id;
    EXPECT_EQ(run.host->Identify(200), "");
    EXPECT_EQ(run.host->Exchange(Frame('R', 1)), kAck);
    EXPECT_EQ(run.host->Identify(), id);
    EXPECT_EQ(run.sim->Stats().identifications, 2u);
}

TEST(SimIdentification, TextFollowsPartIdAndRevisionOptions) {
    struct Case {
        std::vector<std::string> args;
        std::string prefix;
        bool newRevision;
    };
    const Case cases[] = {
        {{"--part", "ZaRQ4127"}, "ZaRQ4127", true},
        {{"--old-revision"}, "ZaRQ4126", false},
        {{"--part", "ZaRQ4128", "--old-revision"}, "ZaRQ4128", false},
        {{"--id", "ZaRQ4124 custom text!"}, "ZaRQ4124 custom text!", false},
    };
    for (const Case& c : cases) {
        SimRun run(c.args);
        const std::string id = run.host->Identify();
        ASSERT_GE(id.size(), 18u) << c.prefix;
        EXPECT_EQ(id.substr(0, c.prefix.size()), c.prefix);
        const bool isNew = id[15] >= 'I' && id[15] <= 0x7E && id[17] >= '1' && id[17] <= '9';
        EXPECT_EQ(isNew, c.newRevision) << id;
    }
}

TEST(SimIdentification, NoiseComesFirstThenTheIdentification) {
    SimRun run({"--noise", "hello"});
    EXPECT_EQ(run.host->Identify(), "hello");
    EXPECT_EQ(run.host->Identify().substr(0, 8), "ZaRQ4126");
}

TEST(SimIdentification, NeverAnnounceStaysSilentButAnswersFrames) {
    SimRun run({"--never-announce"});
    EXPECT_EQ(run.host->Identify(300), "");
    EXPECT_EQ(run.host->Exchange(Frame('R', 1)), kAck);
    EXPECT_EQ(run.host->Identify(300), "");
    EXPECT_EQ(run.sim->Stats().identifications, 0u);
}

TEST(SimIdentification, WakeByteInsideAFrameIsData) {
    SimRun run({});
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x08, {0x08, 0x08})), kAck);
    EXPECT_EQ(run.sim->Stats().identifications, 0u);
}

TEST(SimRun, StopsAnsweringOnceTheProgramRuns) {
    SimRun run({});
    EXPECT_EQ(run.host->Exchange(Frame('R', 0)), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('W', 0, {1}), 300), kNone);
    EXPECT_EQ(run.host->Identify(300), "");
    EXPECT_EQ(run.sim->Flash()[0], 0xFF);
    EXPECT_FALSE(run.sim->WaitFinished(0));
}

TEST(SimRun, ExitAfterRunEndsOnlyAfterTheAckWasRead) {
    SimRun run({"--exit-after-run"});
    EXPECT_EQ(run.host->Exchange(Frame('R', 1)), kAck);
    EXPECT_FALSE(run.sim->WaitFinished(100));
    EXPECT_EQ(run.host->Exchange(Frame('R', 0)), kAck);
    EXPECT_TRUE(run.sim->WaitFinished(5000));
    EXPECT_EQ(run.sim->Reason(), zarq::FinishReason::Ran);
}

} // namespace
