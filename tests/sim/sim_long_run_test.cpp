// zarq-sim left running for a long session, or logging into a FIFO: it never
// waits for the log's reader, and what it keeps per answer stops growing.

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

class Fifo {
public:
    explicit Fifo(const std::string& name) : path_(TempPath(name)) {
        ::unlink(path_.c_str());
        EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0) << path_;
    }
    ~Fifo() {
        if (reader_ >= 0) ::close(reader_);
        ::unlink(path_.c_str());
    }
    const std::string& Path() const { return path_; }
    // Opens the reading end; small, so that a short run fills it.
    void OpenReader(bool small) {
        reader_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader_, 0);
#ifdef F_SETPIPE_SZ
        if (small) ::fcntl(reader_, F_SETPIPE_SZ, 4096);
#else
        (void)small;
#endif
    }
    std::string ReadAll() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(reader_, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    std::string path_;
    int reader_ = -1;
};

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
    Fifo fifo("log.fifo");
    const std::string err = TempPath("log-fifo.err");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int none = ::open("/dev/null", O_RDWR);
        ::dup2(none, 0);
        ::dup2(none, 1);
        ::dup2(e, 2);
        ::execl(TALVEX_ZARQ_SIM_EXE, "zarq-sim", "--partdb", TALVEX_TEST_PARTDB, "--log",
                fifo.Path().c_str(), static_cast<char*>(nullptr));
        ::_exit(121);
    }
    const auto started = Clock::now();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        if (Clock::now() - started > 10s) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ::unlink(err.c_str());
            FAIL() << "zarq-sim waited for a reader of its log";
        }
        std::this_thread::sleep_for(5ms);
    }
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
    Fifo fifo("log.fifo");
    fifo.OpenReader(false);
    zarq::Simulator sim(Options(fifo.Path(), false));
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    TestHost host(sim.DevicePath());
    EXPECT_EQ(host.Identify().substr(0, 8), "ZaRQ4126");
    ASSERT_EQ(Exchange(host, 30), 30u);
    ASSERT_TRUE(sim.Stop(&error)) << error;
    const std::string text = fifo.ReadAll();
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
    Fifo fifo("log.fifo");
    fifo.OpenReader(true);
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
