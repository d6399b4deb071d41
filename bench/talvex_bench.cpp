// talvex-bench: how close TALVEX comes to the serial line's own limit, and
// what it costs in memory and idle CPU. Prints one table and writes the same
// figures as JSON.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "command_frame.h"
#include "serial_port.h"
#include "serial_thread.h"
#include "zarq_sim.h"

using namespace talvex;
using Clock = std::chrono::steady_clock;

namespace {

// A front end that only waits for the result.
class QuietWindow final : public IWindowOps {
public:
    void AddStatusLine(const std::string&) override {}
    void AppendStatusLine(const std::string&) override {}
    void SetProgressStep(int) override {}
    void SetProgressRange(std::uint32_t) override {}
    void SetProgressPos(std::uint32_t) override {}
    void EnableButton(ButtonId, bool) override {}
    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }
    void UnattendedFailure(const std::string& text) override {
        std::fprintf(stderr, "failure: %s\n", text.c_str());
    }
    void EndWithResult(ExitCode code) override {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = ToInt(code);
        cv_.notify_all();
    }
    std::optional<int> Wait(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, limit, [this] { return result_.has_value(); });
        return result_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<int> result_;
};

struct Fail {
    std::string what;
};

zarq::SimOptions SimArgs(std::vector<std::string> args, const std::string& partDb,
                         bool keepLog) {
    args.push_back("--partdb");
    args.push_back(partDb);
    zarq::SimOptions options;
    std::string error;
    if (!zarq::ParseSimArgs(args, options, error)) throw Fail{"zarq-sim options: " + error};
    options.keepLog = keepLog;
    return options;
}

// The flash offset of the index-th image byte. The reader clears bit 19 of
// every type-04 base, so that absolute and flash-relative images land alike;
// offsets with that bit set cannot be reached, and an image larger than
// 512 KB leaves out that half of each megabyte.
std::uint32_t ImageOffset(std::uint32_t index) {
    return ((index >> 19) << 20) | (index & 0x7FFFF);
}

// Writes 16-byte records of bytes bytes in all from offset 0 (type-04
// records as needed).
void WriteImage(const std::string& path, std::uint32_t bytes) {
    std::ofstream out(path);
    std::mt19937 random(bytes);
    std::uint32_t upper = 0xFFFFFFFF;
    char line[80];
    for (std::uint32_t index = 0; index < bytes; index += 16) {
        const std::uint32_t at = ImageOffset(index);
        if ((at >> 16) != upper) {
            upper = at >> 16;
            const unsigned sum = 2 + 4 + (upper >> 8) + (upper & 0xFF);
            std::snprintf(line, sizeof line, ":02000004%04X%02X\n", upper, (256 - (sum & 0xFF)) & 0xFF);
            out << line;
        }
        const unsigned offset = at & 0xFFFF;
        unsigned sum = 16 + (offset >> 8) + (offset & 0xFF);
        std::snprintf(line, sizeof line, ":10%04X00", offset);
        out << line;
        for (int i = 0; i < 16; ++i) {
            const unsigned b = random() & 0xFF;
            sum += b;
            std::snprintf(line, sizeof line, "%02X", b);
            out << line;
        }
        std::snprintf(line, sizeof line, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
        out << line;
    }
    out << ":00000001FF\n";
}

Settings BaseSettings(const std::string& partDb, const std::string& image, const std::string& port,
                      const std::string& baud) {
    Settings s;
    s.partDbPath = partDb;
    s.imageFile = image;
    s.port = port;
    s.baud = baud;
    s.massErase = "No";
    s.program = "Yes";
    s.verify = "Yes";
    s.protect = "No";
    s.autorun = "No";
    s.part = "ZaRQ4126";
    return s;
}

// 1. Host cost per frame against a target that answers at once.
double FramesPerSecond(const std::string& partDb, int frames) {
    zarq::Simulator sim(SimArgs({}, partDb, false));
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    CSerialPort port;
    if (!port.Open(sim.DevicePath(), "115200")) throw Fail{"cannot open " + sim.DevicePath()};
    std::uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(i * 17);
    std::vector<CommandFrame> prepared;
    for (int i = 0; i < frames; ++i) {
        // Below the kernel of the default part, 0xF800 bytes.
        prepared.push_back(*CommandFrame::Make('W', static_cast<std::uint32_t>(i % 3968) * 16, data, 16));
    }
    const auto start = Clock::now();
    for (const auto& frame : prepared) {
        if (SendFrame(port, frame) != 0) throw Fail{"a W frame needed a retry"};
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    port.Close();
    sim.Stop();
    return frames / seconds;
}

struct Efficiency {
    double elapsed = 0;
    double bound = 0;
    std::uint64_t frames = 0;
};

// 2. A whole download to a target paced at 115200 baud, against the time the
// same frames need on the wire.
Efficiency WireEfficiency(const std::string& dir, const std::string& partDb) {
    const std::string image = dir + "/wire.hex";
    WriteImage(image, 60 * 1024);
    zarq::Simulator sim(SimArgs({"--baud", "115200"}, partDb, true));
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    QuietWindow window;
    Efficiency e;
    {
        SerialThread worker(window, BaseSettings(partDb, image, sim.DevicePath(), "115200"));
        worker.Flags().UnattendedMode = 1;
        const auto start = Clock::now();
        worker.PressStart();
        const auto code = window.Wait(std::chrono::seconds(300));
        e.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (code != std::optional<int>(0)) throw Fail{"the paced download failed"};
    }
    sim.Stop();
    double bits = 0;
    for (const auto& entry : sim.Log()) {
        if (entry.kind == zarq::LogEntry::Kind::Frame) {
            bits += (entry.wireLength + 1.0) * 10.0;
            ++e.frames;
        } else if (entry.kind == zarq::LogEntry::Kind::Identification) {
            // The identification and the wake byte that asked for it.
            bits += (entry.wireLength + 1.0) * 10.0;
        }
    }
    e.bound = bits / 115200.0;
    return e;
}

// What one run of talvex-cli as a child cost.
struct ChildRun {
    int exitCode = -1;
    double elapsed = 0; // wall time, s
    double cpu = 0;     // user + system time of all its threads, s
    long peakKiB = 0;
};

ChildRun RunCli(std::vector<std::string> args) {
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    ChildRun run;
    run.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakKiB = usage.ru_maxrss;
    return run;
}

// 3. Peak resident memory of talvex-cli for one image.
long PeakKiB(const std::string& cli, const std::string& dir, const std::string& partDb,
             std::uint32_t bytes) {
    const std::string image = dir + "/mem-" + std::to_string(bytes) + ".hex";
    WriteImage(image, bytes);
    zarq::Simulator sim(SimArgs({"--part", "ZaRQ4199", "--flash-size", "0x790000",
                                 "--kernel-start", "0x800000"},
                                partDb, false));
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    const std::string settings = dir + "/mem.ini";
    const ChildRun run = RunCli({cli, "--no-progress", settings, "af=" + image,
                                 "cp=" + sim.DevicePath(), "cb=115200", "fe=n", "fp=y", "fv=n",
                                 "ap=ZaRQ4199"});
    sim.Stop();
    if (run.exitCode != 0) {
        throw Fail{"talvex-cli failed on the " + std::to_string(bytes) + "-byte image"};
    }
    return run.peakKiB;
}

// 5. The same image into one board, then into several at once with --ports,
// every target paced at baud (0: unpaced). Checks that every board holds the
// image.
ChildRun CliRun(const std::string& cli, const std::string& dir, const std::string& partDb,
                const std::string& image, std::size_t boards, const std::string& baud) {
    std::vector<std::unique_ptr<zarq::Simulator>> sims;
    std::string ports;
    for (std::size_t i = 0; i < boards; ++i) {
        std::vector<std::string> args;
        if (baud != "0") args = {"--baud", baud};
        sims.push_back(std::make_unique<zarq::Simulator>(SimArgs(args, partDb, false)));
        std::string error;
        if (!sims.back()->Start(error)) throw Fail{"zarq-sim: " + error};
        ports += (i ? "," : "") + sims.back()->DevicePath();
    }
    const std::string settings = dir + "/gang.ini";
    std::vector<std::string> args = {cli, "--no-progress"};
    if (boards > 1) {
        args.push_back("--ports");
        args.push_back(ports);
    }
    const std::vector<std::string> rest = {settings, "af=" + image, "cp=" + sims[0]->DevicePath(),
                                           "cb=" + std::string(baud == "0" ? "230400" : baud),
                                           "fe=n", "fp=y", "fv=y", "ap=ZaRQ4126"};
    args.insert(args.end(), rest.begin(), rest.end());
    const ChildRun run = RunCli(args);
    for (auto& sim : sims) sim->Stop();
    if (run.exitCode != 0) {
        throw Fail{"talvex-cli failed with " + std::to_string(run.exitCode) + " on " +
                   std::to_string(boards) + " boards"};
    }
    for (auto& sim : sims) {
        if (sim->Stats().bytesWritten == 0) throw Fail{"a board of the gang got no bytes"};
    }
    return run;
}

// 4. CPU time of an idle worker.
double IdleMilliseconds(const std::string& partDb) {
    QuietWindow window;
    SerialThread worker(window, BaseSettings(partDb, "", "/dev/null", "9600"));
    worker.Resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    getrusage(RUSAGE_SELF, &after);
    auto ms = [](const rusage& u) {
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
    };
    return ms(after) - ms(before);
}

std::string Machine() {
    utsname u{};
    uname(&u);
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, " +
           u.sysname + " " + u.release;
}

} // namespace

int main(int argc, char** argv) {
    std::string out = "bench/results.json";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];
    }
    const std::string self = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    const std::string binDir = std::filesystem::exists(self + "/talvex-cli")
                                   ? self
                                   : std::filesystem::path(self).parent_path().string() + "/bin";
    char pattern[] = "/tmp/talvex-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string partDb = dir + "/zelchip.ini";
    std::filesystem::copy_file(binDir + "/zelchip.ini", partDb);
    // A large emulated part for the memory figure.
    std::ofstream(partDb, std::ios::app)
        << "\n[ZaRQ4199]\nROMStart=0x80000\nROMEnd=0x7FF7FF\nKStart=0x800000\nKEnd=0x80FFFF\n"
           "FBlk0Sz=0x10000\nFBlk1Sz=0x0\n";

    int status = 0;
    try {
        std::vector<double> rates;
        for (int run = 0; run < 5; ++run) rates.push_back(FramesPerSecond(partDb, 20000));
        std::sort(rates.begin(), rates.end());
        const double fps = rates[rates.size() / 2];

        const Efficiency eff = WireEfficiency(dir, partDb);
        const double ratio = eff.elapsed / eff.bound;

        // talvex-cli reads the part database beside itself: give it the one
        // with the large part.
        std::filesystem::copy_file(binDir + "/talvex-cli", dir + "/talvex-cli");
        const long small = PeakKiB(dir + "/talvex-cli", dir, partDb, 60 * 1024);
        const long large = PeakKiB(dir + "/talvex-cli", dir, partDb, 4 * 1024 * 1024);

        const double idle = IdleMilliseconds(partDb);

        // Gang programming: 8 boards at 115200 baud against one, in the same
        // run; then 64 unpaced boards, to see where the limit lies.
        const std::string gangImage = dir + "/gang.hex";
        WriteImage(gangImage, 60 * 1024);
        const std::string cli = dir + "/talvex-cli";
        const ChildRun single = CliRun(cli, dir, partDb, gangImage, 1, "115200");
        const ChildRun gang = CliRun(cli, dir, partDb, gangImage, 8, "115200");
        const double gangRatio = gang.elapsed / single.elapsed;
        const double cpuPerPort = gang.cpu / gang.elapsed / 8 * 100;
        const std::string wideImage = dir + "/wide.hex";
        WriteImage(wideImage, 4 * 1024);
        const ChildRun wide = CliRun(cli, dir, partDb, wideImage, 64, "0");
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);

        const bool fpsOk = fps >= 20000;
        const bool ratioOk = ratio <= 1.05;
        const bool memOk = large - small <= 1024;
        const bool idleOk = idle < 10;
        const bool gangOk = gangRatio <= 1.1;
        const bool gangCpuOk = cpuPerPort < 5;
        std::printf("Machine: %s\n\n", Machine().c_str());
        std::printf("| Figure | Measured | Goal | Met |\n|---|---|---|---|\n");
        std::printf("| Host cost per 16-byte W frame (median of 5 x 20000) | %.0f frames/s, %.1f us/frame | >= 20000 frames/s | %s |\n",
                    fps, 1e6 / fps, fpsOk ? "yes" : "no");
        std::printf("| Download of 60 KB at 115200 baud vs wire time (%llu frames) | %.2f s / %.2f s = %.3f | <= 1.05 | %s |\n",
                    static_cast<unsigned long long>(eff.frames), eff.elapsed, eff.bound, ratio,
                    ratioOk ? "yes" : "no");
        std::printf("| Peak RSS of talvex-cli, 60 KB vs 4 MB image | %ld KiB vs %ld KiB (%+ld KiB) | within 1024 KiB | %s |\n",
                    small, large, large - small, memOk ? "yes" : "no");
        std::printf("| CPU time of an idle engine over 5 s | %.2f ms | < 10 ms | %s |\n", idle,
                    idleOk ? "yes" : "no");
        std::printf("| talvex-cli, 60 KB at 115200 baud: one board | %.2f s, CPU %.2f s | | |\n",
                    single.elapsed, single.cpu);
        std::printf("| talvex-cli --ports, the same into 8 boards at once vs one board | %.2f s / %.2f s = %.3f | <= 1.1 | %s |\n",
                    gang.elapsed, single.elapsed, gangRatio, gangOk ? "yes" : "no");
        std::printf("| CPU time of talvex-cli per port in the 8-board run | %.2f s in %.2f s = %.2f %% of a core per port | < 5 %% | %s |\n",
                    gang.cpu, gang.elapsed, cpuPerPort, gangCpuOk ? "yes" : "no");
        std::printf("| 64 unpaced boards, 4 KB image (open-file limit %llu) | %.2f s, CPU %.2f s, peak RSS %ld KiB | (limit) | |\n",
                    static_cast<unsigned long long>(files.rlim_cur), wide.elapsed, wide.cpu,
                    wide.peakKiB);

        std::filesystem::create_directories(std::filesystem::path(out).parent_path().empty()
                                                ? "."
                                                : std::filesystem::path(out).parent_path());
        std::ofstream json(out);
        json << "{\n  \"machine\": \"" << Machine() << "\",\n"
             << "  \"frames_per_second\": " << fps << ",\n"
             << "  \"us_per_frame\": " << 1e6 / fps << ",\n"
             << "  \"download_elapsed_s\": " << eff.elapsed << ",\n"
             << "  \"wire_bound_s\": " << eff.bound << ",\n"
             << "  \"wire_efficiency\": " << ratio << ",\n"
             << "  \"peak_rss_kib_60k\": " << small << ",\n"
             << "  \"peak_rss_kib_4m\": " << large << ",\n"
             << "  \"idle_cpu_ms_5s\": " << idle << ",\n"
             << "  \"single_port_s\": " << single.elapsed << ",\n"
             << "  \"single_port_cpu_s\": " << single.cpu << ",\n"
             << "  \"gang8_s\": " << gang.elapsed << ",\n"
             << "  \"gang8_cpu_s\": " << gang.cpu << ",\n"
             << "  \"gang8_ratio\": " << gangRatio << ",\n"
             << "  \"gang8_cpu_percent_per_port\": " << cpuPerPort << ",\n"
             << "  \"gang64_s\": " << wide.elapsed << ",\n"
             << "  \"gang64_cpu_s\": " << wide.cpu << ",\n"
             << "  \"gang64_peak_rss_kib\": " << wide.peakKiB << "\n}\n";
        std::printf("\nWrote %s\n", out.c_str());
        status = fpsOk && ratioOk && memOk && idleOk && gangOk && gangCpuOk ? 0 : 1;
    } catch (const Fail& f) {
        std::fprintf(stderr, "talvex-bench: %s\n", f.what.c_str());
        status = 2;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
