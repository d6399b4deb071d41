// The line itself: symlink, real device, pacing, time-out, descriptors, the
// speed of the unpaced simulator, and the zarq-sim program.

#include "sim_host.h"

#include <dirent.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <cstdio>
#include <fstream>

extern char** environ;

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

int OpenFdCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

TEST(SimLine, LinkPointsAtTheSerialEndAndGoesAway) {
    const std::string link = TempPath("ttyZARQ");
    {
        SimRun run({"--link", link});
        char target[PATH_MAX] = {};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), run.sim->DevicePath());
        TestHost viaLink(link);
        ASSERT_TRUE(viaLink.IsOpen());
        EXPECT_EQ(viaLink.Exchange(Frame('R', 1)), kAck);
        run.sim->Stop();
        struct stat st {};
        EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link removed at the end";
    }
    // A regular file in the way is never replaced.
    std::ofstream(link) << "keep me";
    zarq::SimOptions o;
    std::string error;
    ASSERT_TRUE(zarq::ParseSimArgs({"--partdb", TALVEX_TEST_PARTDB, "--link", link}, o, error));
    zarq::Simulator sim(o);
    EXPECT_FALSE(sim.Start(error));
    EXPECT_NE(error.find(link), std::string::npos) << error;
    std::ifstream in(link);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "keep me");
    std::remove(link.c_str());
}

TEST(SimLine, HostsMayComeAndGoOnTheSamePty) {
    SimRun run({});
    for (int session = 0; session < 3; ++session) {
        TestHost host(run.sim->DevicePath());
        ASSERT_TRUE(host.IsOpen());
        EXPECT_EQ(host.Exchange(Frame('W', std::uint32_t(session), {0})), kAck)
            << "session " << session;
    }
    EXPECT_FALSE(run.sim->WaitFinished(0));
}

TEST(SimLine, ServesARealDevice) {
    // The test's own pty stands in for a serial adapter.
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    char name[PATH_MAX];
    ASSERT_EQ(::ttyname_r(slave, name, sizeof name), 0);
    {
        SimRun run({"--device", name});
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.sim->DevicePath(), name);
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
        const Bytes f = Frame('R', 1);
        ASSERT_EQ(::write(master, f.data(), f.size()), static_cast<ssize_t>(f.size()));
        pollfd p{master, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 3000), 1);
        std::uint8_t answer = 0;
        EXPECT_EQ(::read(master, &answer, 1), 1);
        EXPECT_EQ(answer, kAck);
    }
    ::close(master);
    ::close(slave);

    zarq::SimOptions o;
    std::string error;
    ASSERT_TRUE(zarq::ParseSimArgs(
        {"--partdb", TALVEX_TEST_PARTDB, "--device", "/nonexistent/ttyX"}, o, error));
    zarq::Simulator sim(o);
    EXPECT_FALSE(sim.Start(error));
    EXPECT_NE(error.find("/nonexistent/ttyX"), std::string::npos) << error;
}

TEST(SimTiming, BaudRatePacesBothDirections) {
    // 9600 baud: a 10-byte frame and its answer are 11 bytes of 1.04 ms.
    SimRun run({"--baud", "9600"});
    const Bytes f = Frame('E', 0x200, {1});
    ASSERT_EQ(f.size(), 10u);
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        ASSERT_EQ(run.host->Exchange(f), kAck);
        EXPECT_GE(MsSince(t0), 11 * 10000.0 / 9600 - 0.2) << "exchange " << i;
    }
    // The identification takes its own wire time too.
    const auto t0 = Clock::now();
    const std::string id = run.host->Identify();
    EXPECT_GE(MsSince(t0), (1 + id.size()) * 10000.0 / 9600 - 0.2);
}

TEST(SimTiming, FrameSentJustAfterTheLineFellIdleIsTimedFromWhenItCame) {
    // At 1200 baud a byte is 8.3 ms. The second frame goes out half a byte
    // after the first has crossed: the line was idle in between, so it
    // cannot reach the target before its own ten bytes have crossed.
    constexpr double kByteMs = 10000.0 / 1200;
    SimRun run({"--baud", "1200"});
    const Bytes f = Frame('R', 1);
    ASSERT_EQ(f.size(), 9u);
    ASSERT_TRUE(run.host->Send(f));
    std::this_thread::sleep_for(std::chrono::microseconds(int(9.5 * kByteMs * 1000)));
    const auto sent = Clock::now();
    ASSERT_TRUE(run.host->Send(f));
    ASSERT_EQ(run.host->Answer(), kAck);
    ASSERT_EQ(run.host->Answer(), kAck);
    EXPECT_GE(MsSince(sent), 10 * kByteMs - 0.2);
}

TEST(SimTiming, PacingDoesNotDriftOverManyFrames) {
    // 200 exchanges of 9 + 1 bytes at 38400 baud: at least 521 ms, and the
    // clock keeps no debt from sleeping late.
    SimRun run({"--baud", "38400"});
    const Bytes f = Frame('R', 1);
    const auto t0 = Clock::now();
    for (int i = 0; i < 200; ++i) ASSERT_EQ(run.host->Exchange(f), kAck);
    const double ms = MsSince(t0);
    EXPECT_GE(ms, 200 * 10 * 10000.0 / 38400 - 1);
    EXPECT_LT(ms, 10000) << "far slower than the line";
}

TEST(SimTiming, FlashAndAdapterDelaysAddUp) {
    struct Case {
        std::vector<std::string> args;
        Bytes frame;
        double minMs;
    };
    const Case cases[] = {
        {{"--turnaround-ms", "40"}, Frame('R', 1), 40},
        {{"--erase-ms", "25"}, Frame('E', 0x200, {3}), 75},
        {{"--erase-ms", "25"}, Frame('E', 0, {0}), 25},
        {{"--write-us-per-byte", "500"}, Frame('W', 0, Bytes(100, 0)), 50},
    };
    for (const Case& c : cases) {
        SimRun run(c.args);
        const auto t0 = Clock::now();
        EXPECT_EQ(run.host->Exchange(c.frame), kAck);
        EXPECT_GE(MsSince(t0), c.minMs) << ::testing::PrintToString(c.args);
    }
}

TEST(SimTiming, StopInterruptsALongErase) {
    SimRun run({"--erase-ms", "60000"});
    run.host->Send(Frame('E', 0, {0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = Clock::now();
    run.sim->Stop();
    EXPECT_LT(MsSince(t0), 2000);
}

TEST(SimTiming, TimeoutEndsTheSimulator) {
    SimRun run({"--timeout", "0.2"});
    EXPECT_TRUE(run.sim->WaitFinished(5000));
    EXPECT_EQ(run.sim->Reason(), zarq::FinishReason::TimedOut);
}

TEST(SimResources, ManyRunsLeaveNoDescriptorsBehind) {
    const int before = OpenFdCount();
    const std::string log = TempPath("fd.jsonl");
    for (int i = 0; i < 40; ++i) {
        SimRun run({"--log", log, "--exit-after-run"});
        ASSERT_EQ(run.host->Exchange(Frame('R', 0)), kAck);
        ASSERT_TRUE(run.sim->WaitFinished(5000));
    }
    EXPECT_EQ(OpenFdCount(), before);
    std::remove(log.c_str());
}

TEST(SimSpeed, UnpacedSimulatorIsNeverTheSlowSide) {
    // A host loop as lean as the real one: one 16-byte write frame out, one
    // answer in. The floor is far below what the simulator does on an idle
    // machine (see the printed rate) so that a loaded CI box passes; it
    // catches pacing or per-byte work that crept into the fast path.
    SimRun run({});
    Bytes data(16, 0x5A);
    const int frames = 5000;
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) {
        const Bytes f = Frame('W', 16u * (i % 0xF00), data);
        ASSERT_EQ(run.host->Exchange(f), kAck) << "frame " << i;
    }
    const double rate = frames / (MsSince(t0) / 1000.0);
    std::printf("[   INFO   ] %.0f one-record frames a second\n", rate);
    RecordProperty("frames_per_second", static_cast<int>(rate));
    EXPECT_GT(rate, 1000.0);
    EXPECT_EQ(run.sim->Stats().acks, static_cast<std::uint64_t>(frames));
}

// The zarq-sim program as built.
class SimProgram {
public:
    explicit SimProgram(std::vector<std::string> args) {
        std::string exe = TALVEX_ZARQ_SIM_EXE;
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addclose(&fa, err[0]);
        args.insert(args.begin(), exe);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        out_ = ::fdopen(out[0], "r");
        err_ = err[0];
    }
    ~SimProgram() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_) std::fclose(out_);
        if (err_ >= 0) ::close(err_);
    }
    std::string FirstLine() {
        char line[PATH_MAX] = {};
        if (!out_ || !std::fgets(line, sizeof line, out_)) return {};
        std::string s(line);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    // Exit status, or -1 when it did not end within timeoutMs.
    int Wait(int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    std::string Stderr() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err_, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }
    bool Running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int err_ = -1;
};

TEST(SimProgramTest, PrintsThePathFirstAndSummarisesOnSigterm) {
    SimProgram p({"--partdb", TALVEX_TEST_PARTDB});
    ASSERT_TRUE(p.Running());
    const std::string path = p.FirstLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        TestHost host(path);
        EXPECT_EQ(host.Identify().substr(0, 8), "ZaRQ4126");
        EXPECT_EQ(host.Exchange(Frame('W', 0, {1, 2})), kAck);
        EXPECT_EQ(host.Exchange(Frame('Z', 0)), kNak);
    }
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(5000), 0);
    EXPECT_NE(p.Stderr().find("2 frames, 1 acks, 1 naks, 2 bytes written"), std::string::npos);
}

TEST(SimProgramTest, ExitCodesTellHowItEnded) {
    {
        SimProgram p({"--partdb", TALVEX_TEST_PARTDB, "--exit-after-run"});
        TestHost host(p.FirstLine());
        EXPECT_EQ(host.Exchange(Frame('R', 0)), kAck);
        EXPECT_EQ(p.Wait(5000), 0);
    }
    {
        SimProgram p({"--partdb", TALVEX_TEST_PARTDB, "--exit-after-run", "--timeout", "0.2"});
        EXPECT_EQ(p.Wait(5000), 3);
        EXPECT_NE(p.Stderr().find("timed out before the program was run"), std::string::npos);
    }
    {
        SimProgram p({"--nak", "Q"});
        EXPECT_EQ(p.Wait(5000), 2);
        EXPECT_NE(p.Stderr().find("--nak: 'Q'"), std::string::npos);
    }
    {
        SimProgram p({"--partdb", "/nonexistent/zelchip.ini"});
        EXPECT_EQ(p.Wait(5000), 1);
        EXPECT_NE(p.Stderr().find("/nonexistent/zelchip.ini"), std::string::npos);
    }
}

} // namespace
