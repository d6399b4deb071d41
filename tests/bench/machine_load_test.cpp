// The bench's view of how busy the machine was: other processes' share of
// the processor time, without the kernel's threads.

#include "machine_load.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace talvex::bench {
namespace {

TEST(MachineLoad, ReadsTheProcessorsTimes) {
    // user nice system idle iowait irq softirq steal guest guest_nice
    const std::string stat =
        "cpu  1000 20 300 5000 40 5 6 7 100 0\n"
        "cpu0 500 10 150 2500 20 2 3 3 50 0\n"
        "cpu1 500 10 150 2500 20 3 3 4 50 0\n"
        "intr 12345 0 0\n"
        "ctxt 999\n";
    double busy = 0;
    int cpus = 0;
    ASSERT_TRUE(ParseProcStat(stat, 100, busy, cpus));
    EXPECT_EQ(cpus, 2);
    EXPECT_DOUBLE_EQ(busy, (1000 + 20 + 300 + 5 + 6 + 7) / 100.0) << "idle and iowait are not";
    EXPECT_FALSE(ParseProcStat("intr 1 2 3\n", 100, busy, cpus));
}

TEST(MachineLoad, TellsKernelThreadsFromProcesses) {
    // Fields from the state on: state ppid pgrp session tty tpgid flags
    // minflt cminflt majflt cmajflt utime stime.
    const struct {
        const char* name;
        std::string stat;
        bool kernel;
        double seconds;
    } cases[] = {
        {"a kworker", "57 (kworker/u8:2-events_unbound) I 2 0 0 0 -1 69238880 0 0 0 0 12 34 0 0",
         true, 0.46},
        {"a process whose name holds blanks and parentheses",
         "4242 (my (odd) name) S 1 4242 4242 0 -1 4194560 100 0 0 0 500 60 0 0", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        double seconds = 0;
        EXPECT_EQ(ParseKernelThread(c.stat, 100, seconds), c.kernel);
        if (c.kernel) {
            EXPECT_DOUBLE_EQ(seconds, c.seconds);
        }
    }
}

TEST(MachineLoad, FindsTheDatabaseServerByItsWholeName) {
    const struct {
        const char* stat;
        bool server;
    } cases[] = {
        {"311 (postgres) S 1 311 311 0 -1 4194560 10 0 0 0 250 50 0 0", true},
        {"312 (postgres2) S 1 312 312 0 -1 4194560 10 0 0 0 250 50 0 0", false},
        {"313 (my postgres) S 1 313 313 0 -1 4194560 10 0 0 0 250 50 0 0", false},
        {"314 (postgres", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stat);
        double seconds = 0;
        EXPECT_EQ(ParseNamedProcess(c.stat, "postgres", 100, seconds), c.server);
        if (c.server) {
            EXPECT_DOUBLE_EQ(seconds, 3.0);
        }
    }
}

TEST(MachineLoad, SeesABusyLoopOfAnotherProcess) {
    // A child not yet waited for is another process to the bench, as a
    // build on the same machine would be.
    const pid_t spinner = fork();
    ASSERT_GE(spinner, 0);
    if (spinner == 0) {
        for (;;) {
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const CpuTimes from = SampleCpuTimes();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const CpuTimes to = SampleCpuTimes();
    kill(spinner, SIGKILL);
    waitpid(spinner, nullptr, 0);
    ASSERT_GT(to.cpus, 0);
    // One core of the machine's, less what the scheduler gave to others.
    EXPECT_GT(OthersShare(from, to), 0.5 / to.cpus);
}

} // namespace
} // namespace talvex::bench
