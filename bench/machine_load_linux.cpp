#include "machine_load.h"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace talvex::bench {

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000; // PF_KTHREAD

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

} // namespace

bool ParseProcStat(const std::string& text, double ticksPerSecond, double& busySeconds, int& cpus) {
    std::istringstream lines(text);
    bool total = false;
    cpus = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("cpu", 0) != 0) continue;
        if (line.size() > 3 && line[3] != ' ') {
            ++cpus;
            continue;
        }
        // user nice system idle iowait irq softirq steal (guest time is
        // part of user already).
        std::istringstream fields(line.substr(3));
        std::vector<double> ticks;
        for (double t; fields >> t;) ticks.push_back(t);
        if (ticks.size() < 8) return false;
        busySeconds =
            (ticks[0] + ticks[1] + ticks[2] + ticks[5] + ticks[6] + ticks[7]) / ticksPerSecond;
        total = true;
    }
    return total && cpus > 0;
}

bool ParseKernelThread(const std::string& text, double ticksPerSecond, double& seconds) {
    // The name in parentheses may hold blanks and parentheses of its own.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    // From field 3 (state) on: flags is field 9, utime 14, stime 15.
    std::vector<std::string> f;
    for (std::string s; f.size() < 13 && fields >> s;) f.push_back(s);
    if (f.size() < 13) return false;
    const unsigned long flags = std::strtoul(f[6].c_str(), nullptr, 10);
    if (!(flags & kKernelThreadFlag)) return false;
    seconds = (std::strtod(f[11].c_str(), nullptr) + std::strtod(f[12].c_str(), nullptr)) /
              ticksPerSecond;
    return true;
}

bool ParseNamedProcess(const std::string& text, const std::string& name, double ticksPerSecond,
                       double& seconds) {
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    if (text.compare(open + 1, close - open - 1, name) != 0 || close - open - 1 != name.size()) {
        return false;
    }
    std::istringstream fields(text.substr(close + 1));
    std::vector<std::string> f;
    for (std::string s; f.size() < 13 && fields >> s;) f.push_back(s);
    if (f.size() < 13) return false;
    seconds = (std::strtod(f[11].c_str(), nullptr) + std::strtod(f[12].c_str(), nullptr)) /
              ticksPerSecond;
    return true;
}

CpuTimes SampleCpuTimes() {
    CpuTimes t;
    const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
    t.wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    ParseProcStat(ReadAll("/proc/stat"), hz, t.busy, t.cpus);
    if (DIR* proc = ::opendir("/proc")) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): safe on a stream no other thread reads
        while (const dirent* entry = ::readdir(proc)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            double seconds = 0;
            const std::string stat = ReadAll(std::string("/proc/") + entry->d_name + "/stat");
            if (ParseKernelThread(stat, hz, seconds)) {
                t.kernelThreads += seconds;
            } else if (ParseNamedProcess(stat, "postgres", hz, seconds)) {
                t.databaseServer += seconds;
            }
        }
        ::closedir(proc);
    }
    rusage self{}, children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    t.own = Seconds(self.ru_utime) + Seconds(self.ru_stime) + Seconds(children.ru_utime) +
            Seconds(children.ru_stime);
    return t;
}

double OthersShare(const CpuTimes& from, const CpuTimes& to) {
    const double capacity = (to.wall - from.wall) * to.cpus;
    if (capacity <= 0) return 0;
    const double others = (to.busy - from.busy) - (to.kernelThreads - from.kernelThreads) -
                          (to.own - from.own) - (to.databaseServer - from.databaseServer);
    return others > 0 ? others / capacity : 0;
}

} // namespace talvex::bench
