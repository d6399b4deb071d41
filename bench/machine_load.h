#pragma once
// How much of the machine's processor time other jobs took while the bench
// measured. The bench's timings hold only on an otherwise idle machine; a
// build on the other core stretches both hosts' runs and the pseudo-
// terminals' hand-offs unevenly.

#include <string>

namespace talvex::bench {

struct CpuTimes {
    double wall = 0;          // s on the monotonic clock
    double busy = 0;          // s the machine's processors spent not idling
    double kernelThreads = 0; // s of it in kernel threads
    double own = 0;           // s of this process and the children it has waited for
    // s of the line database's server ("postgres" processes): the database
    // figure measures its work too.
    double databaseServer = 0;
    int cpus = 0;
};

// The machine's and this process's processor times now.
CpuTimes SampleCpuTimes();

// The share of the machine's processor time between two samples that other
// processes took: neither this process, nor its children it has waited for,
// nor the kernel's own threads, which carry the pseudo-terminals' traffic,
// nor the database server the bench talks to.
double OthersShare(const CpuTimes& from, const CpuTimes& to);

// From the text of /proc/stat: the seconds the processors spent not idling
// (steal included), and how many there are. False without a cpu line.
bool ParseProcStat(const std::string& text, double ticksPerSecond, double& busySeconds, int& cpus);

// From the text of /proc/PID/stat: true, with its user and system seconds,
// when the process is a kernel thread.
bool ParseKernelThread(const std::string& text, double ticksPerSecond, double& seconds);

// The same text: true, with its user and system seconds, when the process
// is named name.
bool ParseNamedProcess(const std::string& text, const std::string& name, double ticksPerSecond,
                       double& seconds);

} // namespace talvex::bench
