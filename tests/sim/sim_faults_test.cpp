// Fault injection: which frames each fault hits, how retries of one command
// are counted, and what a faulted command leaves in flash.

#include "sim_host.h"

using namespace simtest;

namespace {

// A short download: mass erase, four writes, two verifies, run. A host
// repeats each refused frame like the real one does, up to maxTries.
struct Exchange {
    char letter;
    std::vector<int> answers; // one per try
};

std::vector<Exchange> Download(TestHost& host, int maxTries, int timeoutMs) {
    std::vector<Bytes> frames = {Frame('E', 0, {0})};
    for (int i = 0; i < 4; ++i)
        frames.push_back(Frame('W', 16u * i, {static_cast<std::uint8_t>(0x10 + i)}));
    // Erased cells, so that a refused write does not change the verifies.
    frames.push_back(VerifyFrame(0x100, {0xFF}));
    frames.push_back(VerifyFrame(0x200, {0xFF}));
    std::vector<Exchange> out;
    for (const Bytes& f : frames) {
        Exchange ex{static_cast<char>(f[3]), {}};
        for (int t = 0; t < maxTries; ++t) {
            const int a = t == 0 ? host.Exchange(f, timeoutMs) : host.Retry(f, timeoutMs);
            ex.answers.push_back(a);
            if (a == kAck) break;
        }
        out.push_back(ex);
    }
    return out;
}

TEST(SimFaults, EachFaultHitsTheSelectedCommandsOnly) {
    struct Case {
        std::vector<std::string> args;
        // expected answers per command (E, W1..W4, V1, V2), each try
        std::vector<std::vector<int>> answers;
    };
    const int A = kAck, N = kNak, S = kNone, G = zarq::kGarbageByte;
    const Case cases[] = {
        {{"--nak", "W@2"}, {{A}, {A}, {N, N, N}, {A}, {A}, {A}, {A}}},
        {{"--nak", "3"}, {{A}, {A}, {N, N, N}, {A}, {A}, {A}, {A}}},
        {{"--nak", "V"}, {{A}, {A}, {A}, {A}, {A}, {N, N, N}, {N, N, N}}},
        {{"--nak", "W@2-3,7"}, {{A}, {A}, {N, N, N}, {N, N, N}, {A}, {A}, {N, N, N}}},
        {{"--nak", "W@1", "--nak", "V@2"}, {{A}, {N, N, N}, {A}, {A}, {A}, {A}, {N, N, N}}},
        {{"--silent", "E"}, {{S, S, S}, {A}, {A}, {A}, {A}, {A}, {A}}},
        {{"--garbage-ack", "W@4"}, {{A}, {A}, {A}, {A}, {G, G, G}, {A}, {A}}},
        {{"--ack-after", "2:W@3"}, {{A}, {A}, {A}, {N, N, A}, {A}, {A}, {A}}},
        {{"--ack-after", "1"}, {{N, A}, {N, A}, {N, A}, {N, A}, {N, A}, {N, A}, {N, A}}},
        // silent wins over nak, nak over ack-after
        {{"--nak", "E", "--silent", "E"}, {{S, S, S}, {A}, {A}, {A}, {A}, {A}, {A}}},
        {{"--ack-after", "1:W", "--nak", "W@1"},
         {{A}, {N, N, N}, {N, A}, {N, A}, {N, A}, {A}, {A}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        SimRun run(c.args);
        const auto got = Download(*run.host, 3, 250);
        ASSERT_EQ(got.size(), c.answers.size());
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i].answers, c.answers[i])
                << "command " << i + 1 << " (" << got[i].letter << ")";
    }
}

TEST(SimFaults, RefusedCommandsAreNotCarriedOutButGarbageAckedOnesAre) {
    {
        SimRun run({"--nak", "W@1", "--silent", "W@2", "--ack-after", "5:W@3"});
        run.host->Exchange(Frame('W', 0, {0x00}), 300);
        run.host->Exchange(Frame('W', 1, {0x00}), 300);
        run.host->Exchange(Frame('W', 2, {0x00}), 300);
        EXPECT_EQ(run.host->Exchange(Frame('W', 3, {0x00})), kAck);
        const auto flash = run.sim->Flash();
        EXPECT_EQ(flash[0], 0xFF);
        EXPECT_EQ(flash[1], 0xFF);
        EXPECT_EQ(flash[2], 0xFF);
        EXPECT_EQ(flash[3], 0x00);
        EXPECT_EQ(run.sim->Stats().bytesWritten, 1u);
        EXPECT_EQ(run.sim->Stats().unanswered, 1u);
    }
    {
        SimRun run({"--garbage-ack", "W"});
        EXPECT_EQ(run.host->Exchange(Frame('W', 0, {0x3C})), zarq::kGarbageByte);
        EXPECT_EQ(run.sim->Flash()[0], 0x3C);
        EXPECT_EQ(run.sim->Stats().garbage, 1u);
    }
}

TEST(SimFaults, AckAfterCountsTriesOfOneCommandAcrossResyncBlocks) {
    // 34 refused tries of the first erase, acknowledged at the 35th: what a
    // host sees as a page erase that went through with score 3.
    SimRun run({"--ack-after", "34:E@1"});
    const Bytes erase = Frame('E', 0x200, {1});
    int tries = 0, answer = kNone;
    while (answer != kAck && tries < 100) {
        answer = tries == 0 ? run.host->Exchange(erase) : run.host->Retry(erase);
        ++tries;
    }
    EXPECT_EQ(tries, 35);
    // The next E is a new command and is not delayed.
    EXPECT_EQ(run.host->Exchange(Frame('E', 0x400, {1})), kAck);
    const zarq::SimStats st = run.sim->Stats();
    EXPECT_EQ(st.commands, 2u);
    EXPECT_EQ(st.retries, 34u);
    EXPECT_EQ(st.erasedPages, 2u);
}

TEST(SimFaults, NakOfTheTenthWriteRefusesAllTenTries) {
    SimRun run({"--nak", "W@10"});
    for (int i = 0; i < 9; ++i) ASSERT_EQ(run.host->Exchange(Frame('W', 16u * i, {1})), kAck);
    const Bytes tenth = Frame('W', 0x90, {1});
    for (int t = 0; t < 10; ++t)
        EXPECT_EQ(t == 0 ? run.host->Exchange(tenth) : run.host->Retry(tenth), kNak)
            << "try " << t + 1;
    EXPECT_EQ(run.host->Exchange(Frame('W', 0xA0, {1})), kAck);
    const auto log = run.sim->Log();
    int tenthTries = 0;
    for (const auto& e : log)
        if (e.kind == zarq::LogEntry::Kind::Frame && e.command == 10) {
            ++tenthTries;
            EXPECT_EQ(e.retry, e.attempt > 1);
        }
    EXPECT_EQ(tenthTries, 10);
}

TEST(SimFaults, ResetStartsCommandsAfreshSoARepeatedResetIsNotARetry) {
    SimRun run({"--nak", "R@2"});
    EXPECT_EQ(run.host->Exchange(Frame('R', 1)), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('R', 1)), kNak);
    EXPECT_EQ(run.sim->Stats().retries, 0u);
    EXPECT_EQ(run.sim->Stats().commands, 2u);
}

TEST(SimFaults, HangUpAfterNFramesFailsTheHostsNextRead) {
    SimRun run({"--hangup-after", "2"});
    EXPECT_EQ(run.host->Exchange(Frame('W', 0, {1})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('W', 1, {1})), kAck);
    ASSERT_TRUE(run.sim->WaitFinished(5000));
    EXPECT_EQ(run.sim->Reason(), zarq::FinishReason::HungUp);
    pollfd p{run.host->Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
    std::uint8_t b = 0x08;
    errno = 0;
    EXPECT_EQ(::write(run.host->Fd(), &b, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(run.sim->Stats().hungUp);
}

TEST(SimFaults, HangUpAfterZeroClosesAtTheFirstByte) {
    SimRun run({"--hangup-after", "0"});
    EXPECT_EQ(run.host->Identify(500), "");
    ASSERT_TRUE(run.sim->WaitFinished(5000));
    pollfd p{run.host->Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
    EXPECT_EQ(run.sim->Stats().identifications, 0u);
}

} // namespace
