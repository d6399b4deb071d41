// zarq-sim left running for a long session, or logging into a FIFO: it never
// waits for the log's reader, and what it keeps per answer stops growing.

#include "deadline_wait.h"
#include "fifo_reader.h"
#include "sim_host.h"
#include "sim_log_file.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace simtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using talvex::testing::FifoReader;
using talvex::testing::PipeSize;
using talvex::testing::TempFifo;

zarq::SimOptions Options(const std::string& logPath, bool keepLog) {
    zarq::SimOptions options;
    options.partDbPath = TALVEX_TEST_PARTDB;
    options.logPath = logPath;
    options.keepLog = keepLog;
    return options;
}

// Frames the erased flash acknowledges, each another command than the one
// before it.
Bytes Burst(std::size_t frames, std::size_t first) {
    Bytes all;
    for (std::size_t i = 0; i < frames; ++i) {
        const Bytes f =
            VerifyFrame(static_cast<std::uint32_t>(((first + i) % 64) * 2), {0xFF, 0xFF});
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

// Sends count acknowledged frames in bursts; the answers that came back.
std::size_t Exchange(TestHost& host, std::size_t count) {
    constexpr std::size_t kBurst = 200;
    std::size_t answered = 0;
    for (std::size_t sent = 0; sent < count;) {
        const std::size_t n = std::min(kBurst, count - sent);
        if (!host.Send(Burst(n, sent))) break;
        sent += n;
        const Bytes answers = host.Read(n, 3000, 1500);
        for (std::uint8_t a : answers) answered += a == kAck ? 1 : 0;
        if (answers.size() < n) break;
    }
    return answered;
}

TEST(SimLongRun, LatenessKeptWithoutTheLogStopsGrowing) {
    zarq::Simulator sim(Options("", false));
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    TestHost host(sim.DevicePath());
    ASSERT_TRUE(host.IsOpen());
    const std::size_t count = zarq::kLateSampleLimit + 5000;
    ASSERT_EQ(Exchange(host, count), count);
    const zarq::SimStats st = sim.Stats();
    EXPECT_EQ(st.answersSent, count);
    EXPECT_EQ(st.answerLateNs.size(), zarq::kLateSampleLimit);
    EXPECT_LE(st.answerLateNs.capacity(), 2 * zarq::kLateSampleLimit);
    EXPECT_TRUE(sim.Log().empty());
}

TEST(SimLongRun, LatenessOfEveryAnswerIsKeptBesideAKeptLog) {
    zarq::Simulator sim(Options("", true));
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    TestHost host(sim.DevicePath());
    ASSERT_EQ(Exchange(host, 600), 600u);
    EXPECT_EQ(sim.Stats().answerLateNs.size(), 600u);
}

TEST(SimLogFifo, WithoutAReaderTheProgramSaysSoAtOnce) {
    TempFifo fifo("log.fifo");
    ASSERT_TRUE(fifo.Made());
    const std::string err = TempPath("log-fifo.err");
    const pid_t pid = talvex::testing::StartChild(
        {TALVEX_ZARQ_SIM_EXE, "--partdb", TALVEX_TEST_PARTDB, "--log", fifo.Path()}, "", err);
    ASSERT_GE(pid, 0);
    const auto started = Clock::now();
    const std::optional<int> ended = talvex::testing::WaitForExit(pid, 10s, 5ms);
    if (!ended) {
        ::unlink(err.c_str());
        FAIL() << "zarq-sim waited for a reader of its log";
    }
    const int status = *ended;
    EXPECT_LT(Clock::now() - started, 1s);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    ::unlink(err.c_str());
    EXPECT_EQ(text.str(), "zarq-sim: cannot create the log " + fifo.Path() +
                              ": it is a FIFO that no process reads\n");
}

TEST(SimLogFifo, AReaderGetsALineForEveryEvent) {
    TempFifo fifo("log.fifo");
    ASSERT_TRUE(fifo.Made());
    FifoReader reader;
    ASSERT_TRUE(reader.Open(fifo.Path(), PipeSize::AsMade));
    zarq::Simulator sim(Options(fifo.Path(), false));
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    TestHost host(sim.DevicePath());
    EXPECT_EQ(host.Identify().substr(0, 8), "ZaRQ4126");
    ASSERT_EQ(Exchange(host, 30), 30u);
    ASSERT_TRUE(sim.Stop(&error)) << error;
    const std::string text = reader.ReadAvailable();
    std::istringstream lines(text);
    std::size_t count = 0;
    std::size_t frames = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
        if (line.find("\"event\":\"frame\"") != std::string::npos) ++frames;
    }
    EXPECT_EQ(count, 31u) << text;
    EXPECT_EQ(frames, 30u);
}

// A reader that stops reading: the log is given up once it has taken
// nothing for the limit, found at the next lines written, or at the end,
// which waits for the rest no longer than the limit. The answers never wait
// for it.
struct StalledLogCase {
    const char* name;
    bool idleBeforeLastFrames;
    const char* why;
};

class SimStalledLogTest : public ::testing::TestWithParam<StalledLogCase> {};

TEST_P(SimStalledLogTest, AnswersGoOnAndTheLogIsReportedIncomplete) {
    const StalledLogCase& c = GetParam();
    TempFifo fifo("log.fifo");
    ASSERT_TRUE(fifo.Made());
    FifoReader reader;
    ASSERT_TRUE(reader.Open(fifo.Path(), PipeSize::OnePage));
    zarq::Simulator sim(Options(fifo.Path(), false));
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    TestHost host(sim.DevicePath());
    // Some 200 bytes of log a frame: many times what the FIFO holds.
    const auto started = Clock::now();
    EXPECT_EQ(Exchange(host, 2000), 2000u);
    EXPECT_LT(Clock::now() - started, 2s);
    if (c.idleBeforeLastFrames) {
        std::this_thread::sleep_for(std::chrono::milliseconds(zarq::kLogStallLimitMs + 100));
        EXPECT_EQ(Exchange(host, 30), 30u);
    }
    const auto stopping = Clock::now();
    EXPECT_FALSE(sim.Stop(&error));
    EXPECT_LT(Clock::now() - stopping, 1s);
    EXPECT_EQ(error, "cannot write the log " + fifo.Path() + ": " + c.why);
}

INSTANTIATE_TEST_SUITE_P(Cases, SimStalledLogTest,
                         ::testing::Values(StalledLogCase{"GivenUpDuringTheRun", true,
                                                          "its reader took nothing for 500 ms"},
                                           StalledLogCase{"GivenUpAtTheEnd", false,
                                                          "its reader took nothing for 500 ms"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace simtest
