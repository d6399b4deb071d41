// talvex-bench: what TALVEX costs beside the serial line itself: talvex-cli
// against a minimal reference host on the same emulated line, the host's own
// turnaround, what stamping a serial number adds, packed frames against one
// frame per record, memory, idle CPU, gang runs, and targets that answer
// late. Prints one table and writes the same figures as JSON.
//
// A goal is met when the median of its runs meets it; the spread is printed
// beside it. Exit code 0 when every goal was met, 1 when one was missed, 2
// when a run failed, 3 when a goal could not be judged because other jobs
// took the machine or its runs spread too widely.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child_run.h"
#include "command_frame.h"
#include "frame_link.h"
#include "goals.h"
#include "line_database_client.h"
#include "machine_load.h"
#include "run_record.h"
#include "serial_port.h"
#include "serial_thread.h"
#include "zarq_sim.h"

using namespace talvex;
using namespace talvex::bench;
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

// The launcher that measures every program the bench runs, beside it.
std::string& Launcher() {
    static std::string path;
    return path;
}

// One run of talvex-cli or the reference host, through the launcher: its
// peak memory is its own, not a copy of this bench's.
ChildRun RunCli(const std::vector<std::string>& args) {
    ChildRun run;
    std::string error;
    if (!RunMeasured(Launcher(), args, run, error)) throw Fail{error};
    return run;
}

zarq::SimOptions SimArgs(std::vector<std::string> args, const std::string& partDb, bool keepLog) {
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
std::uint32_t ImageOffset(std::uint32_t index) { return ((index >> 19) << 20) | (index & 0x7FFFF); }

// Writes records of recordBytes (16 or 32) of bytes bytes in all from
// offset 0 (type-04 records as needed); returns the bytes, the index-th at
// ImageOffset(index).
std::vector<std::uint8_t> WriteImage(const std::string& path, std::uint32_t bytes,
                                     std::uint32_t recordBytes = 16) {
    std::vector<std::uint8_t> content;
    content.reserve(bytes);
    std::ofstream out(path);
    std::mt19937 random(bytes);
    std::uint32_t upper = 0xFFFFFFFF;
    char line[80];
    for (std::uint32_t index = 0; index < bytes; index += recordBytes) {
        const std::uint32_t at = ImageOffset(index);
        if ((at >> 16) != upper) {
            upper = at >> 16;
            const unsigned sum = 2 + 4 + (upper >> 8) + (upper & 0xFF);
            std::snprintf(line, sizeof line, ":02000004%04X%02X\n", upper,
                          (256 - (sum & 0xFF)) & 0xFF);
            out << line;
        }
        const unsigned offset = at & 0xFFFF;
        unsigned sum = recordBytes + (offset >> 8) + (offset & 0xFF);
        std::snprintf(line, sizeof line, ":%02X%04X00", recordBytes, offset);
        out << line;
        for (std::uint32_t i = 0; i < recordBytes; ++i) {
            const unsigned b = random() & 0xFF;
            content.push_back(static_cast<std::uint8_t>(b));
            sum += b;
            std::snprintf(line, sizeof line, "%02X", b);
            out << line;
        }
        std::snprintf(line, sizeof line, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
        out << line;
    }
    out << ":00000001FF\n";
    return content;
}

bool HoldsImage(const zarq::Simulator& sim, const std::vector<std::uint8_t>& image) {
    const std::vector<std::uint8_t> flash = sim.Flash();
    for (std::uint32_t i = 0; i < image.size(); ++i) {
        const std::uint32_t at = ImageOffset(i);
        if (at >= flash.size() || flash[at] != image[i]) return false;
    }
    return true;
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

// The engine's own cost per frame against a target that answers at once,
// in this process, without talvex-cli's reading of the image.
double FramesPerSecond(const std::string& partDb, int frames) {
    zarq::Simulator sim(SimArgs({}, partDb, false));
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    CSerialPort port;
    if (!port.Open(sim.DevicePath(), "115200")) throw Fail{"cannot open " + sim.DevicePath()};
    std::uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(i * 17);
    std::vector<CommandFrame> prepared;
    prepared.reserve(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        // Below the kernel of the default part, 0xF800 bytes.
        prepared.push_back(
            *CommandFrame::Make('W', static_cast<std::uint32_t>(i % 3968) * 16, data, 16));
    }
    FrameLink link(port, 115200);
    const auto start = Clock::now();
    for (const auto& frame : prepared) {
        if (link.Send(frame) != 0) throw Fail{"a W frame needed a retry"};
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    port.Close();
    sim.Stop();
    return frames / seconds;
}

// A number that follows key in a run record's JSON line, after the text
// after (when given); NaN when there is none.
double RecordNumber(const std::string& line, const std::string& key,
                    const std::string& after = {}) {
    std::size_t from = 0;
    if (!after.empty()) {
        from = line.find("\"" + after + "\"");
        if (from == std::string::npos) return std::nan("");
    }
    const std::size_t at = line.find("\"" + key + "\"", from);
    if (at == std::string::npos) return std::nan("");
    const std::size_t colon = line.find(':', at);
    if (colon == std::string::npos) return std::nan("");
    return std::strtod(line.c_str() + colon + 1, nullptr);
}

// 1. Host cost per frame, as a user meets it: talvex-cli writing an image of
// 16-byte records, one frame each, into zarq-sim started as its own program,
// unpaced; the frames over the write phase that talvex-cli's run record
// gives.
double CliFramesPerSecond(const std::string& cli, const std::string& simProgram,
                          const std::string& dir, const std::string& partDb,
                          const std::string& image, std::uint32_t imageBytes) {
    BackgroundProgram sim;
    std::string error;
    if (!sim.Start({simProgram, "--part", "ZaRQ4199", "--flash-size", "0x790000", "--kernel-start",
                    "0x800000", "--partdb", partDb},
                   dir + "/zarq-sim.err", error)) {
        throw Fail{error};
    }
    std::string device;
    if (!sim.FirstLine(device, 5000)) throw Fail{"zarq-sim did not name its port"};
    const std::string record = dir + "/fps-record.json";
    std::filesystem::remove(record);
    const ChildRun run =
        RunCli({cli, "--no-progress", "--record", record, dir + "/fps.ini", "af=" + image,
                "cp=" + device, "cb=115200", "fe=n", "fp=y", "fv=n", "ap=ZaRQ4199"});
    sim.Stop();
    if (run.exitCode != 0) {
        throw Fail{"talvex-cli failed with " + std::to_string(run.exitCode) +
                   " writing to zarq-sim"};
    }
    std::ifstream in(record);
    std::string line;
    std::getline(in, line);
    const double written = RecordNumber(line, "bytes_written");
    const double writeMs = RecordNumber(line, "write", "phases_ms");
    if (written != imageBytes || !(writeMs > 0)) {
        throw Fail{"talvex-cli's run record does not show the image written"};
    }
    return (written / 16) / (writeMs / 1000);
}

// Passes everything to a real port and notes, for every frame, how long the
// engine took from holding the previous answer to handing the frame over:
// the host's own share of each exchange, with the line taken out.
class TimingPort final : public ISerialPort {
public:
    bool Open(const std::string& port, const std::string& baud) override {
        return port_.Open(port, baud);
    }
    bool Close() override { return port_.Close(); }
    bool IsOpen() const override { return port_.IsOpen(); }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override {
        const bool ok = port_.Read(buffer, count, received);
        Note(buffer, count, received);
        return ok;
    }
    bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                 std::chrono::milliseconds timeout) override {
        const bool ok = port_.ReadFor(buffer, count, received, timeout);
        Note(buffer, count, received);
        return ok;
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override {
        if (count > 1 && answeredAt_) {
            turnarounds_.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - *answeredAt_).count());
            answeredAt_.reset();
        }
        return port_.Write(data, count, written);
    }
    bool Purge(PurgeWhat what) override { return port_.Purge(what); }
    PortStatus LastStatus() const override { return port_.LastStatus(); }
    void SetStopFlag(const std::atomic<bool>* stop) override { port_.SetStopFlag(stop); }
    bool PacedLine() const override { return port_.PacedLine(); }

    void Note(const std::uint8_t* buffer, std::size_t count, std::size_t received) {
        if (count == 1 && received == 1 && buffer[0] == kAck) answeredAt_ = Clock::now();
    }

    // Filled by the worker's thread; read once it has ended.
    const std::vector<double>& Turnarounds() const { return turnarounds_; }

private:
    CSerialPort port_;
    std::optional<Clock::time_point> answeredAt_;
    std::vector<double> turnarounds_;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at =
        static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
    return values[std::min(at, values.size() - 1)];
}

// Time on the wire of what the log shows: every frame, the identification
// and the wake byte that asked for it, each with its one-byte answer.
struct WireTime {
    double seconds = 0;
    std::uint64_t frames = 0;
};

WireTime WireBound(const std::vector<zarq::LogEntry>& log, double baud) {
    double bits = 0;
    WireTime w;
    for (const auto& entry : log) {
        if (entry.kind == zarq::LogEntry::Kind::Frame) {
            bits += (entry.wireLength + 1.0) * 10.0;
            ++w.frames;
        } else if (entry.kind == zarq::LogEntry::Kind::Identification) {
            bits += (entry.wireLength + 1.0) * 10.0;
        }
    }
    w.seconds = bits / baud;
    return w;
}

// The emulated line's own error: how late its answers left, against the
// time its timetable gives each exchange. The typical answer shows the
// line's precision; answers held up for more than a millisecond are the
// machine's stalls (the simulator's thread not run in time), which hit
// either host alike as they take turns, and which the spread of the turns
// shows.
struct LineError {
    double medianUs = 0;
    double share = 0;      // median lateness against the mean exchange
    double stallShare = 0; // lateness of answers more than 1 ms late against the line's time
    double lateMaxUs = 0;
    std::size_t stalls = 0; // answers more than 1 ms late
};

LineError SimLineError(const zarq::Simulator& sim, double lineSeconds) {
    const zarq::SimStats st = sim.Stats();
    LineError e;
    std::vector<double> late(st.answerLateNs.begin(), st.answerLateNs.end());
    for (double& l : late) l /= 1000.0;
    e.medianUs = Percentile(late, 0.5);
    double stalled = 0;
    for (double l : late) {
        if (l <= 1000) continue;
        ++e.stalls;
        stalled += l;
    }
    e.lateMaxUs = static_cast<double>(st.answerLateNsMax) / 1000.0;
    if (lineSeconds > 0 && !late.empty()) {
        e.share = e.medianUs / (lineSeconds * 1e6 / static_cast<double>(late.size()));
        e.stallShare = stalled / 1e6 / lineSeconds;
    }
    return e;
}

struct Turnaround {
    double elapsed = 0;
    WireTime wire;
    LineError line;
    double medianUs = 0;
    double p99Us = 0;
    double spreadUs = 0; // between the medians of the download's thirds
    std::size_t samples = 0;
};

// 2. A whole download to a target paced at 115200 baud, in-process, with the
// engine's turnaround timed at the port.
Turnaround HostTurnaround(const std::string& dir, const std::string& partDb) {
    const std::string image = dir + "/wire.hex";
    WriteImage(image, 60 * 1024);
    zarq::Simulator sim(SimArgs({"--baud", "115200"}, partDb, true));
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    QuietWindow window;
    Turnaround t;
    {
        auto port = std::make_unique<TimingPort>();
        TimingPort* timing = port.get();
        SerialThread worker(window, BaseSettings(partDb, image, sim.DevicePath(), "115200"),
                            std::move(port));
        worker.Flags().Unattended.Begin();
        const auto start = Clock::now();
        worker.PressStart();
        const auto code = window.Wait(std::chrono::seconds(300));
        t.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (code != std::optional<int>(0)) throw Fail{"the paced download failed"};
        worker.WaitIdle(std::chrono::seconds(5));
        const std::vector<double>& all = timing->Turnarounds();
        t.samples = all.size();
        t.medianUs = Percentile(all, 0.5);
        t.p99Us = Percentile(all, 0.99);
        std::vector<double> thirds;
        thirds.reserve(3);
        for (std::size_t i = 0; i < 3; ++i) {
            const auto from = static_cast<std::ptrdiff_t>(i * all.size() / 3);
            const auto to = static_cast<std::ptrdiff_t>((i + 1) * all.size() / 3);
            thirds.push_back(
                Percentile(std::vector<double>(all.begin() + from, all.begin() + to), 0.5));
        }
        t.spreadUs = *std::max_element(thirds.begin(), thirds.end()) -
                     *std::min_element(thirds.begin(), thirds.end());
    }
    sim.Stop();
    t.wire = WireBound(sim.Log(), 115200.0);
    t.line = SimLineError(sim, t.wire.seconds);
    return t;
}

// The frames of a run as the target saw them: what the reference host must
// send to do the same work.
struct SentFrame {
    char letter = 0;
    std::uint32_t value = 0;
    std::vector<std::uint8_t> data;
    bool operator==(const SentFrame&) const = default;
};

// One entry per command the target acknowledged, in order: a frame sent
// again because its answer came late (or was refused) is the same command,
// so a run under load still shows the work that was done.
std::vector<SentFrame> FramesOf(const std::vector<zarq::LogEntry>& log) {
    std::vector<SentFrame> frames;
    std::uint64_t command = 0;
    for (const auto& entry : log) {
        if (entry.kind != zarq::LogEntry::Kind::Frame || entry.command <= command) continue;
        if (entry.answer != std::optional<std::uint8_t>(kAck)) continue;
        command = entry.command;
        frames.push_back({entry.letter, entry.value, entry.data});
    }
    return frames;
}

// The log holds the bytes as they were on the wire (verify data already
// rotated), so the generic frame rebuilds them byte for byte.
void WriteFramesFile(const std::string& path, const std::vector<zarq::LogEntry>& log) {
    std::ofstream out(path, std::ios::binary);
    const auto put16 = [&out](std::size_t n) {
        out.put(static_cast<char>((n >> 8) & 0xFF));
        out.put(static_cast<char>(n & 0xFF));
    };
    for (const SentFrame& f : FramesOf(log)) {
        const auto frame = CommandFrame::Make(f.letter, f.value, f.data.data(), f.data.size());
        if (!frame) throw Fail{"a logged frame cannot be rebuilt"};
        put16(frame->Bytes().size());
        out.write(reinterpret_cast<const char*>(frame->Bytes().data()),
                  static_cast<std::streamsize>(frame->Bytes().size()));
    }
    if (!out) throw Fail{"cannot write " + path};
}

struct PacedRun {
    ChildRun run;
    std::vector<zarq::LogEntry> log;
    LineError line;
    double wireSeconds = 0;
    // From the first to the last write frame's arrival: the pass that
    // packing changes.
    double writePassSeconds = 0;
    // The least time the line allows for the same pass: after the first
    // write frame, each answer (one byte and the target's turnaround) and
    // the next frame's bytes, at 10 bits a byte.
    double writePassLimit = 0;
};

// One child (talvex-cli or the reference host) against a fresh target paced
// by simArgs at baud.
// With expect given, the target's flash must hold it afterwards.
PacedRun Paced(std::vector<std::string> args, const std::string& partDb,
               std::vector<std::string> simArgs, double baud,
               const std::vector<std::uint8_t>* expect = nullptr) {
    const zarq::SimOptions options = SimArgs(std::move(simArgs), partDb, true);
    zarq::Simulator sim(options);
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    for (auto& a : args) {
        if (a == "@PORT") a = sim.DevicePath();
        if (a == "cp=@PORT") a = "cp=" + sim.DevicePath();
    }
    PacedRun p;
    p.run = RunCli(args);
    sim.Stop();
    if (p.run.exitCode != 0) {
        throw Fail{args[0] + " failed with " + std::to_string(p.run.exitCode)};
    }
    if (expect && !HoldsImage(sim, *expect)) {
        throw Fail{args[0] + " ended with 0 but the target's flash differs from the image"};
    }
    p.log = sim.Log();
    const WireTime wire = WireBound(p.log, baud);
    p.wireSeconds = wire.seconds;
    // The line's own timetable: the bytes, and the turnaround it adds to
    // every answer.
    p.line = SimLineError(sim, wire.seconds + static_cast<double>(sim.Stats().answersSent) *
                                                  options.turnaroundMs / 1000.0);
    std::optional<std::uint64_t> first, last;
    for (const auto& entry : p.log) {
        if (entry.kind != zarq::LogEntry::Kind::Frame || entry.letter != 'W') continue;
        if (!first) first = entry.timeUs;
        last = entry.timeUs;
    }
    if (first) p.writePassSeconds = static_cast<double>(*last - *first) / 1e6;
    bool firstWrite = true;
    std::uint64_t command = 0;
    for (const auto& entry : p.log) {
        if (entry.kind != zarq::LogEntry::Kind::Frame || entry.letter != 'W' ||
            entry.command <= command)
            continue;
        command = entry.command;
        if (!firstWrite) {
            p.writePassLimit +=
                (entry.wireLength + 1.0) * 10.0 / baud + options.turnaroundMs / 1000.0;
        }
        firstWrite = false;
    }
    return p;
}

// NOLINTNEXTLINE(readability-function-size): the run's settings, named at each call
PacedRun CliDownload(const std::string& cli, const std::string& dir, const std::string& partDb,
                     const std::string& image, const std::vector<std::uint8_t>& content,
                     const std::vector<std::string>& simArgs, const std::string& baud,
                     int frameBytes, bool verify, const std::string& settingsName = "paced.ini") {
    const std::string settings = dir + "/" + settingsName;
    PacedRun p =
        Paced({cli, "--no-progress", settings, "af=" + image, "cp=@PORT", "cb=" + baud, "fe=n",
               "fp=y", verify ? "fv=y" : "fv=n", "ap=ZaRQ4126", "fb=" + std::to_string(frameBytes)},
              partDb, simArgs, std::stod(baud), &content);
    return p;
}

// 8. Targets that answer late: one that is slow on every frame, and fast
// lines behind a slow adapter or in front of a target slow to program. Once
// the host has seen the target's pace, every command should go out once:
// no repeat, no resync block, only the first late answer costs a wait.
struct LateTarget {
    const char* line; // as printed
    std::vector<std::string> simArgs;
    std::string baud;
    std::uint32_t imageBytes;
    std::uint32_t recordBytes;
    int frameBytes;
    bool verify;
};

struct LateRun {
    int exitCode = -1;
    bool flashMatches = false;
    double elapsed = 0;
    zarq::SimStats stats;
    std::uint64_t records = 0;
    std::uint64_t writeCommands = 0;
    // From the command whose answer first came late (the first one a
    // resync block followed) on; 0 when no answer was late.
    std::uint64_t firstLate = 0;
    std::uint64_t framesAfter = 0;   // frames of later commands
    std::uint64_t commandsAfter = 0; // later commands
    std::uint64_t repeatsAfter = 0;
    std::uint64_t resyncsAfter = 0;
    bool NoRepeatAfterFirstLate() const {
        return exitCode == 0 && flashMatches && repeatsAfter == 0 && resyncsAfter == 0 &&
               framesAfter == commandsAfter;
    }
};

LateRun MeasureLate(const std::string& cli, const std::string& dir, const std::string& partDb,
                    const LateTarget& t) {
    const std::string image = dir + "/late-" + std::to_string(t.imageBytes) + "-" +
                              std::to_string(t.recordBytes) + ".hex";
    const std::vector<std::uint8_t> content = WriteImage(image, t.imageBytes, t.recordBytes);
    zarq::Simulator sim(SimArgs(t.simArgs, partDb, true));
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    LateRun r;
    r.records = t.imageBytes / t.recordBytes;
    const ChildRun run =
        RunCli({cli, "--no-progress", dir + "/late.ini", "af=" + image, "cp=" + sim.DevicePath(),
                "cb=" + t.baud, "fe=n", "fp=y", t.verify ? "fv=y" : "fv=n", "ap=ZaRQ4126",
                "fb=" + std::to_string(t.frameBytes)});
    sim.Stop();
    r.exitCode = run.exitCode;
    r.elapsed = run.elapsed;
    r.flashMatches = HoldsImage(sim, content);
    r.stats = sim.Stats();
    const std::vector<zarq::LogEntry> log = sim.Log();
    std::uint64_t lastCommand = 0;
    std::set<std::uint64_t> writes, after;
    for (const auto& entry : log) {
        if (entry.kind == zarq::LogEntry::Kind::Resync) {
            if (r.firstLate == 0) {
                r.firstLate = lastCommand;
            } else if (lastCommand > r.firstLate) {
                ++r.resyncsAfter;
            }
        }
        if (entry.kind != zarq::LogEntry::Kind::Frame || entry.command == 0) continue;
        lastCommand = entry.command;
        if (entry.letter == 'W') writes.insert(entry.command);
    }
    for (const auto& entry : log) {
        if (entry.kind != zarq::LogEntry::Kind::Frame || r.firstLate == 0 ||
            entry.command <= r.firstLate)
            continue;
        ++r.framesAfter;
        after.insert(entry.command);
        if (entry.retry) ++r.repeatsAfter;
    }
    r.writeCommands = writes.size();
    r.commandsAfter = after.size();
    return r;
}

// The same runs with the host as it was before it learnt the target's answer
// time: talvex-cli of commit 7217f08, built apart and run against today's
// zarq-sim with `talvex-bench --late-only --cli PATH`, once, on the
// development machine (AMD EPYC, 2 cores), 2026-12-08.
struct Before {
    double seconds;
    std::uint64_t frames, retries, resyncBlocks, bytesWritten;
};
constexpr Before kBeforeSteady25{3.54, 136, 68, 68, 4096}; // median of 3 turns
// Faster than today only because it did not wait for the answers: each frame
// was credited with the answer to the one before it.
constexpr Before kBeforeAdapter16{10.99, 1151, 111, 946, 9056};
constexpr Before kBeforeSlowWrite{0.91, 144, 0, 64, 8192};

struct LateFigures {
    std::vector<LateRun> steady; // three turns
    LateRun adapter, slowWrite;
    // The turn whose run time is the median.
    const LateRun& MedianTurn() const {
        std::vector<const LateRun*> turns;
        for (const LateRun& r : steady) turns.push_back(&r);
        std::sort(turns.begin(), turns.end(),
                  [](const LateRun* a, const LateRun* b) { return a->elapsed < b->elapsed; });
        return *turns[turns.size() / 2];
    }
    double SteadyMedian() const { return MedianTurn().elapsed; }
    double Speedup() const { return kBeforeSteady25.seconds / SteadyMedian(); }
};

const LateTarget kSteady25{"steady 25 ms target, 230400 baud, 2 KB in 32-byte records, verify off",
                           {"--baud", "230400", "--answer-delay-ms", "25"},
                           "230400",
                           2048,
                           32,
                           0,
                           false};
const LateTarget kAdapter16{"8 KB at 921600 baud behind a 16 ms adapter, verify on",
                            {"--baud", "921600", "--answer-delay-ms", "16"},
                            "921600",
                            8192,
                            16,
                            0,
                            true};
// The packed-frames measurement of the README: 1 ms of adapter latency, and
// a 128-byte frame takes 3.84 ms to program, so its answer comes after the
// 4 ms that the line's rate alone gives it.
const LateTarget kSlowWrite{
    "8 KB packed to 128 bytes at 921600 baud, 1 ms adapter latency, 30 us "
    "to program a byte, verify on",
    {"--baud", "921600", "--turnaround-ms", "1", "--write-us-per-byte", "30"},
    "921600",
    8192,
    16,
    128,
    true};

LateFigures MeasureLateTargets(const std::string& cli, const std::string& dir,
                               const std::string& partDb) {
    LateFigures f;
    for (int turn = 0; turn < 3; ++turn)
        f.steady.push_back(MeasureLate(cli, dir, partDb, kSteady25));
    f.adapter = MeasureLate(cli, dir, partDb, kAdapter16);
    f.slowWrite = MeasureLate(cli, dir, partDb, kSlowWrite);
    return f;
}

std::string Describe(const LateRun& r) {
    char text[400];
    if (r.firstLate == 0) {
        std::snprintf(text, sizeof text,
                      "exit %d%s, %.2f s; %llu frames for %llu commands, no answer came late, "
                      "%llu bytes programmed",
                      r.exitCode, r.flashMatches ? "" : " (FLASH DIFFERS)", r.elapsed,
                      static_cast<unsigned long long>(r.stats.frames),
                      static_cast<unsigned long long>(r.stats.commands),
                      static_cast<unsigned long long>(r.stats.bytesWritten));
        return text;
    }
    std::snprintf(text, sizeof text,
                  "exit %d%s, %.2f s; %llu frames for %llu commands, %llu repeats, %llu resync "
                  "blocks, %llu bytes programmed; after the first late answer (command %llu): "
                  "%llu frames for %llu commands, %llu repeats, %llu resync blocks",
                  r.exitCode, r.flashMatches ? "" : " (FLASH DIFFERS)", r.elapsed,
                  static_cast<unsigned long long>(r.stats.frames),
                  static_cast<unsigned long long>(r.stats.commands),
                  static_cast<unsigned long long>(r.stats.retries),
                  static_cast<unsigned long long>(r.stats.resyncBlocks),
                  static_cast<unsigned long long>(r.stats.bytesWritten),
                  static_cast<unsigned long long>(r.firstLate),
                  static_cast<unsigned long long>(r.framesAfter),
                  static_cast<unsigned long long>(r.commandsAfter),
                  static_cast<unsigned long long>(r.repeatsAfter),
                  static_cast<unsigned long long>(r.resyncsAfter));
    return text;
}

std::string Describe(const Before& b) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%.2f s; %llu frames, %llu repeats, %llu resync blocks, %llu bytes programmed",
                  b.seconds, static_cast<unsigned long long>(b.frames),
                  static_cast<unsigned long long>(b.retries),
                  static_cast<unsigned long long>(b.resyncBlocks),
                  static_cast<unsigned long long>(b.bytesWritten));
    return text;
}

// printf into a string.
template <typename... Args>
std::string Text(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

// The share of the machine's processor time other processes took since it
// was made.
class LoadWatch {
public:
    LoadWatch() : from_(SampleCpuTimes()) {}
    double OthersShare() const { return bench::OthersShare(from_, SampleCpuTimes()); }

private:
    CpuTimes from_;
};

// 3b. What stamping a serial number costs: the same 60 KB image downloaded
// by talvex-cli at 115200 baud with and without a [Serial] section, in
// turns, each run timed from start to result as the reference comparison
// is. The stamped run must leave the number in the flash, or the figure
// would time a run that stamped nothing.
constexpr std::uint32_t kStampAddress = 0x8000; // mid-image, below the kernel
constexpr std::uint32_t kStampBytes = 8;
constexpr std::uint64_t kFirstSerial = 1000;

struct StampFigures {
    std::vector<double> plain, stamped, ratios; // seconds, and stamped / plain per turn
    double othersShare = 0;
    double Ratio() const { return Median(stamped) / Median(plain); }
};

StampFigures MeasureStamping(const std::string& cli, const std::string& dir,
                             const std::string& partDb, int turns) {
    const std::string image = dir + "/stamp.hex";
    const std::vector<std::uint8_t> content = WriteImage(image, 60 * 1024);
    // The firmware's placeholder is whatever the image holds there: the
    // check that the image carries it is part of what stamping costs.
    std::string placeholder;
    std::vector<std::uint8_t> stamped = content;
    for (std::uint32_t i = 0; i < kStampBytes; ++i) {
        placeholder += Text("%02X", content[kStampAddress + i]);
        stamped[kStampAddress + i] = static_cast<std::uint8_t>((kFirstSerial >> (8 * i)) & 0xFF);
    }
    const std::string plainName = "stamp-plain.ini";
    const std::string serialName = "stamp-serial.ini";
    std::filesystem::remove(dir + "/" + plainName);
    {
        std::ofstream ini(dir + "/" + serialName);
        ini << Text("[Serial]\nAddress=0x%X\nBytes=%u\nFormat=le\nCounter=stamp.cnt\n",
                    kStampAddress, kStampBytes)
            << "Placeholder=" << placeholder << "\n";
        if (!ini) throw Fail{"cannot write " + dir + "/" + serialName};
    }
    const std::vector<std::string> line115 = {"--baud", "115200"};
    const auto plainRun = [&] {
        return CliDownload(cli, dir, partDb, image, content, line115, "115200", 0, false, plainName)
            .run.elapsed;
    };
    const auto stampedRun = [&] {
        // Every stamped run takes the same number, so that each expects the
        // same bytes in the flash.
        std::ofstream(dir + "/stamp.cnt") << kFirstSerial << "\n";
        return CliDownload(cli, dir, partDb, image, stamped, line115, "115200", 0, false,
                           serialName)
            .run.elapsed;
    };
    StampFigures f;
    const LoadWatch watch;
    for (int turn = 0; turn < turns; ++turn) {
        // Which goes first alternates, so that neither gains from the
        // other having warmed the caches.
        double plain = 0, withSerial = 0;
        if (turn % 2 == 0) {
            plain = plainRun();
            withSerial = stampedRun();
        } else {
            withSerial = stampedRun();
            plain = plainRun();
        }
        f.plain.push_back(plain);
        f.stamped.push_back(withSerial);
        f.ratios.push_back(withSerial / plain);
    }
    f.othersShare = watch.OthersShare();
    return f;
}

// The table: one row per figure, judged where it has a goal.
class Report {
public:
    void Add(const std::string& figure, const std::string& measured, const std::string& goalText,
             const Goal& goal) {
        const Verdict v = Judge(goal);
        verdicts_.push_back(v);
        std::string met = VerdictText(v);
        if (v == Verdict::Busy)
            met += Text(" (other processes took %.0f %% of the CPU)", goal.othersShare * 100);
        if (v == Verdict::TooWide)
            met += " (runs spread above 20 % of the goal, on both sides of it)";
        rows_.push_back({figure, measured, goalText, met});
    }
    void AddFigure(const std::string& figure, const std::string& measured,
                   const std::string& note = "") {
        rows_.push_back({figure, measured, note, ""});
    }
    void Print() const {
        std::printf("| Figure | Measured | Goal | Met |\n|---|---|---|---|\n");
        for (const Row& r : rows_) {
            std::printf("| %s | %s | %s | %s |\n", r.figure.c_str(), r.measured.c_str(),
                        r.goal.c_str(), r.met.c_str());
        }
    }
    int ExitCode() const { return ExitCodeFor(verdicts_); }
    std::size_t Count(Verdict which) const {
        return static_cast<std::size_t>(std::count(verdicts_.begin(), verdicts_.end(), which));
    }

private:
    struct Row {
        std::string figure, measured, goal, met;
    };
    std::vector<Row> rows_;
    std::vector<Verdict> verdicts_;
};

// A count that must be 0 in the median run.
Goal NoneInTheMedianRun(const std::vector<double>& counts, double othersShare) {
    Goal g;
    g.median = Median(counts);
    g.bar = 0;
    g.measured = false;
    g.othersShare = othersShare;
    return g;
}

void LateRows(const LateFigures& f, double othersShare, Report& report) {
    const LateRun& s = f.MedianTurn();
    std::vector<double> misses, speedups;
    for (const LateRun& r : f.steady) {
        misses.push_back(r.NoRepeatAfterFirstLate() && r.writeCommands == r.records ? 0 : 1);
        speedups.push_back(kBeforeSteady25.seconds / r.elapsed);
    }
    report.Add(
        Text("%s: records, write frames, run time (3 turns, the median shown)", kSteady25.line),
        Text("%llu records, %llu write commands; %s", static_cast<unsigned long long>(s.records),
             static_cast<unsigned long long>(s.writeCommands), Describe(s).c_str()),
        "no repeat after the first late answer, write commands = records",
        NoneInTheMedianRun(misses, othersShare));
    Goal speedup;
    speedup.median = f.Speedup();
    speedup.spread = Spread(speedups);
    speedup.bar = 1.5;
    speedup.atLeast = true;
    speedup.othersShare = othersShare;
    report.Add(
        "the same, against the host before it learnt the answer time",
        Text("%.2f s / %.2f s = %.2fx faster (spread %.2f; before: %s)", kBeforeSteady25.seconds,
             f.SteadyMedian(), f.Speedup(), speedup.spread, Describe(kBeforeSteady25).c_str()),
        ">= 1.5x", speedup);
    struct Row {
        const LateTarget* target;
        const LateRun* run;
        const Before* before;
    };
    for (const Row& row : {Row{&kAdapter16, &f.adapter, &kBeforeAdapter16},
                           Row{&kSlowWrite, &f.slowWrite, &kBeforeSlowWrite}}) {
        report.Add(
            row.target->line,
            Text("%s (before: %s)", Describe(*row.run).c_str(), Describe(*row.before).c_str()),
            "no repeat after the first late answer",
            NoneInTheMedianRun({row.run->NoRepeatAfterFirstLate() ? 0.0 : 1.0}, othersShare));
    }
}

// What a board spends on the line database: its number taken and its run
// record stored, each a round trip to the server on its Unix socket.
struct DatabaseFigures {
    std::vector<double> perBoardMs;
    double othersShare = 0;
};

constexpr int kDatabaseBoards = 400;

DatabaseFigures MeasureDatabase(const std::string& connection, const std::string& dir) {
    LineDatabaseOptions options;
    options.connection = connection;
    options.source = "--db";
    options.spool = dir + "/bench-spool.jsonl";
    LineDatabaseClient client(options);
    SerialSettings serial;
    serial.counterDb = "bench-" + std::to_string(getpid());
    serial.bytes = 4;
    std::string report;
    std::string whyNot;
    if (client.InitSchema(serial, report, whyNot) != DbState::Done) throw Fail{whyNot};
    RunRecord record;
    record.startUnixMs = 1796000000000;
    record.host = record.station = "bench";
    record.port = "/dev/ttyUSB0";
    record.part = "ZaRQ4126";
    record.image.path = dir + "/board.hex";
    record.image.read = true;
    record.image.sha256 = std::string(64, 'b');
    record.phases = {{RunPhase::Erase, 12000, 4}, {RunPhase::Write, 680000, 61440}};
    // The first board opens the connection and prepares the statements,
    // which a station does once: not counted.
    DatabaseFigures f;
    const LoadWatch watch;
    for (int board = 0; board <= kDatabaseBoards; ++board) {
        const auto start = std::chrono::steady_clock::now();
        const CounterResult taken = client.TakeSerial(serial, record.port);
        if (taken.status != CounterStatus::Taken) throw Fail{taken.message};
        record.runId = NewRunId();
        record.serial = RunRecord::Serial{taken.number, "01000000", "db:" + serial.counterDb};
        const RecordDelivery stored = client.StoreRecord(FormatRunRecord(record));
        if (!stored.stored) throw Fail{stored.message};
        const auto took = std::chrono::steady_clock::now() - start;
        if (board > 0)
            f.perBoardMs.push_back(std::chrono::duration<double, std::milli>(took).count());
    }
    f.othersShare = watch.OthersShare();
    return f;
}

void DatabaseRow(const DatabaseFigures& f, Report& report) {
    std::vector<double> sorted = f.perBoardMs;
    std::sort(sorted.begin(), sorted.end());
    const double p95 = sorted[sorted.size() * 95 / 100];
    const Goal g{Median(f.perBoardMs), Spread(f.perBoardMs), 5, false, true, true, f.othersShare};
    report.Add(Text("Line database per board, number taken and record stored, local socket (%zu "
                    "boards)",
                    f.perBoardMs.size()),
               Text("median %.2f ms, p95 %.2f ms", g.median, p95), "median < 5 ms", g);
}

void StampRow(const StampFigures& f, Report& report) {
    const Goal g{f.Ratio(), Spread(f.ratios), 1.02, false, true, true, f.othersShare};
    report.Add(Text("talvex-cli with a [Serial] section vs without, 60 KB at 115200 baud, verify "
                    "off, start to result (%zu turns each)",
                    f.ratios.size()),
               Text("%.3f s / %.3f s (medians); ratio %.4f (spread of the turns' ratios %.4f)",
                    Median(f.stamped), Median(f.plain), g.median, g.spread),
               "<= 1.02", g);
}

// 5. Peak resident memory of talvex-cli for one image.
long PeakKiB(const std::string& cli, const std::string& dir, const std::string& partDb,
             std::uint32_t bytes) {
    const std::string image = dir + "/mem-" + std::to_string(bytes) + ".hex";
    WriteImage(image, bytes);
    zarq::Simulator sim(
        SimArgs({"--part", "ZaRQ4199", "--flash-size", "0x790000", "--kernel-start", "0x800000"},
                partDb, false));
    std::string error;
    if (!sim.Start(error)) throw Fail{"zarq-sim: " + error};
    const std::string settings = dir + "/mem.ini";
    // Packed frames: the image is read, checked and written the same, in
    // an eighth of the exchanges.
    const ChildRun run =
        RunCli({cli, "--no-progress", settings, "af=" + image, "cp=" + sim.DevicePath(),
                "cb=115200", "fe=n", "fp=y", "fv=n", "ap=ZaRQ4199", "fb=128"});
    sim.Stop();
    if (run.exitCode != 0) {
        throw Fail{"talvex-cli failed on the " + std::to_string(bytes) + "-byte image"};
    }
    return run.peakKiB;
}

// 7. The same image into one board, then into several at once with --ports,
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
    const std::vector<std::string> rest = {settings,
                                           "af=" + image,
                                           "cp=" + sims[0]->DevicePath(),
                                           "cb=" + std::string(baud == "0" ? "230400" : baud),
                                           "fe=n",
                                           "fp=y",
                                           "fv=y",
                                           "ap=ZaRQ4126"};
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

// 6. CPU time of an idle worker.
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
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
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

// Packed frames against one frame per record on one kind of line, in pairs
// of runs on identically paced targets.
struct Packing {
    const char* line; // as printed
    std::vector<std::string> simArgs;
    std::string baud;
    std::uint32_t imageBytes;
    struct Pair {
        PacedRun unpacked, packed;
        double PassRatio() const { return unpacked.writePassSeconds / packed.writePassSeconds; }
        double WholeRatio() const { return unpacked.run.elapsed / packed.run.elapsed; }
        // What the line allows for the same bytes.
        double LimitRatio() const { return unpacked.writePassLimit / packed.writePassLimit; }
        double Share() const { return PassRatio() / LimitRatio(); }
    };
    std::vector<Pair> pairs;
    double othersShare = 0;

    template <typename F>
    std::vector<double> Each(F figure) const {
        std::vector<double> values;
        for (const Pair& p : pairs) values.push_back(figure(p));
        return values;
    }
    const Pair& MedianPair() const {
        std::vector<std::size_t> order(pairs.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
            return pairs[a].Share() < pairs[b].Share();
        });
        return pairs[order[order.size() / 2]];
    }
};

constexpr int kTurns = 3;     // pairs of runs behind each timed comparison
constexpr double kLateMs = 1; // answers later than this are the machine's stalls
// Turns of the stamping comparison: an even number, so that each kind goes
// first as often as the other; at 9 s a download, a little over a minute.
constexpr int kStampTurns = 4;

} // namespace

// The bench's measurements in the order its report gives them, as a script.
// NOLINTNEXTLINE(readability-function-size)
int main(int argc, char** argv) {
    std::string out = "bench/results.json";
    // --late-only --cli PATH: only the late targets, with another talvex-cli
    // (how the figures of the host before were taken).
    std::string otherCli;
    bool lateOnly = false;
    // --fps-only: only the frames-per-second runs, each rate on its own line.
    bool fpsOnly = false;
    // --stamp-only: only stamping against a plain download, judged.
    bool stampOnly = false;
    // --db CONNINFO: also the line database's time per board (make bench
    // starts a throw-away server for it); --db-only: that alone.
    std::string database;
    bool databaseOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--late-only") == 0) lateOnly = true;
        if (std::strcmp(argv[i], "--fps-only") == 0) fpsOnly = true;
        if (std::strcmp(argv[i], "--stamp-only") == 0) stampOnly = true;
        if (std::strcmp(argv[i], "--db-only") == 0) databaseOnly = true;
        if (i + 1 >= argc) continue;
        if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];
        if (std::strcmp(argv[i], "--cli") == 0) otherCli = argv[i + 1];
        if (std::strcmp(argv[i], "--db") == 0) database = argv[i + 1];
    }
    const std::string self = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    const std::string binDir = std::filesystem::exists(self + "/talvex-cli")
                                   ? self
                                   : std::filesystem::path(self).parent_path().string() + "/bin";
    Launcher() = self + "/talvex-peak";
    char pattern[] = "/tmp/talvex-bench-XXXXXX";
    if (!mkdtemp(pattern)) return kExitBroken;
    const std::string dir = pattern;
    const std::string partDb = dir + "/zelchip.ini";
    std::filesystem::copy_file(binDir + "/zelchip.ini", partDb);
    // A large emulated part for the memory and frames-per-second figures.
    std::ofstream(partDb, std::ios::app)
        << "\n[ZaRQ4199]\nROMStart=0x80000\nROMEnd=0x7FF7FF\nKStart=0x800000\nKEnd=0x80FFFF\n"
           "FBlk0Sz=0x10000\nFBlk1Sz=0x0\n";

    int status = 0;
    if (lateOnly) {
        try {
            const LoadWatch watch;
            const LateFigures late = MeasureLateTargets(
                otherCli.empty() ? binDir + "/talvex-cli" : otherCli, dir, partDb);
            Report report;
            LateRows(late, watch.OthersShare(), report);
            // Figures of another host, kept beside the bench's own: its
            // misses are what they are measured for.
            report.Print();
        } catch (const Fail& f) {
            std::fprintf(stderr, "talvex-bench: %s\n", f.what.c_str());
            status = kExitBroken;
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        return status;
    }
    try {
        const LoadWatch whole;
        Report report;
        // The busiest stretch of the bench: other processes' share of the
        // machine, for the summary.
        double busiest = 0;
        const auto busy = [&busiest](const LoadWatch& watch) {
            const double share = watch.OthersShare();
            busiest = std::max(busiest, share);
            return share;
        };

        // talvex-cli reads the part database beside itself: give it the one
        // with the large part.
        std::filesystem::copy_file(binDir + "/talvex-cli", dir + "/talvex-cli");
        const std::string cli = dir + "/talvex-cli";
        const std::string refhost = self + "/talvex-refhost";
        const std::string simProgram = binDir + "/zarq-sim";

        if (databaseOnly) {
            if (database.empty()) throw Fail{"--db-only needs --db CONNINFO"};
            DatabaseRow(MeasureDatabase(database, dir), report);
            report.Print();
            std::filesystem::remove_all(dir);
            return report.ExitCode();
        }
        if (stampOnly) {
            const StampFigures stamp = MeasureStamping(cli, dir, partDb, kStampTurns);
            std::printf("Machine: %s\n", Machine().c_str());
            std::printf(
                "Other processes took %.1f %% of the machine's processor time during the "
                "runs (more than %.0f %% leaves the goal inconclusive).\n\n",
                stamp.othersShare * 100, kBusyShare * 100);
            StampRow(stamp, report);
            report.Print();
            std::filesystem::remove_all(dir);
            return report.ExitCode();
        }

        // 1. Frames per second: talvex-cli against zarq-sim as a user runs
        // them, then the engine alone in this process. Each run is long
        // enough (about 2 s) that a stall of a few tens of milliseconds, which
        // a virtual machine has now and then even when idle, moves its rate
        // by a few per cent, not by a fifth; and a first run, not counted,
        // finds the programs and the image in the page cache for the others.
        constexpr std::uint32_t kFpsRecords = 50000;
        const std::string fpsImage = dir + "/fps.hex";
        WriteImage(fpsImage, kFpsRecords * 16);
        CliFramesPerSecond(cli, simProgram, dir, partDb, fpsImage, kFpsRecords * 16);
        const LoadWatch fpsWatch;
        std::vector<double> cliRates;
        cliRates.reserve(5);
        for (int run = 0; run < 5; ++run) {
            cliRates.push_back(
                CliFramesPerSecond(cli, simProgram, dir, partDb, fpsImage, kFpsRecords * 16));
        }
        const double fpsOthers = busy(fpsWatch);
        if (fpsOnly) {
            for (const double rate : cliRates) std::printf("%.0f\n", rate);
            std::printf("median %.0f, spread %.0f, others %.1f %%\n", Median(cliRates),
                        Spread(cliRates), fpsOthers * 100);
            std::filesystem::remove_all(dir);
            return kExitMet;
        }
        std::vector<double> engineRates;
        engineRates.reserve(5);
        for (int run = 0; run < 5; ++run) engineRates.push_back(FramesPerSecond(partDb, 20000));

        // 2. The host's own turnaround, in this process.
        const LoadWatch turnWatch;
        const Turnaround turn = HostTurnaround(dir, partDb);
        const double turnOthers = busy(turnWatch);
        const double lineShare = turn.elapsed / turn.wire.seconds;
        std::vector<LineError> lines = {turn.line};

        // 3. talvex-cli against the reference host, taking turns on the same
        // paced line with the same frames.
        const std::string refImage = dir + "/ref.hex";
        const std::vector<std::uint8_t> refContent = WriteImage(refImage, 60 * 1024);
        const std::vector<std::string> line115 = {"--baud", "115200"};
        std::vector<double> cliTimes, refTimes, pairRatios, cliWire, refWire;
        std::vector<SentFrame> cliFrames;
        const std::string framesFile = dir + "/frames.bin";
        const LoadWatch refWatch;
        for (int round = 0; round < kTurns; ++round) {
            const PacedRun c =
                CliDownload(cli, dir, partDb, refImage, refContent, line115, "115200", 0, false);
            if (round == 0) {
                WriteFramesFile(framesFile, c.log);
                cliFrames = FramesOf(c.log);
            } else if (FramesOf(c.log) != cliFrames) {
                throw Fail{"talvex-cli had other frames acknowledged than in its first run"};
            }
            const PacedRun r = Paced({refhost, "@PORT", "115200", framesFile}, partDb, line115,
                                     115200, &refContent);
            if (FramesOf(r.log) != cliFrames)
                throw Fail{"the reference host had other frames acknowledged than talvex-cli"};
            cliTimes.push_back(c.run.elapsed);
            refTimes.push_back(r.run.elapsed);
            pairRatios.push_back(c.run.elapsed / r.run.elapsed);
            cliWire.push_back(c.run.elapsed / c.wireSeconds);
            refWire.push_back(r.run.elapsed / r.wireSeconds);
            lines.push_back(c.line);
            lines.push_back(r.line);
        }
        const double refOthers = busy(refWatch);
        const StampFigures stamp = MeasureStamping(cli, dir, partDb, kStampTurns);
        std::optional<DatabaseFigures> databaseFigures;
        if (!database.empty()) databaseFigures = MeasureDatabase(database, dir);
        busiest = std::max(busiest, stamp.othersShare);

        // 4. Packed frames against one frame per record, side by side per
        // line. A 16 ms turnaround makes a frame per record cost 18 ms, so
        // that line takes a smaller image.
        std::vector<Packing> packings = {
            {"115200 baud, 60 KB", line115, "115200", 60 * 1024, {}, 0},
            {"921600 baud, 1 ms turnaround, 60 KB",
             {"--baud", "921600", "--turnaround-ms", "1"},
             "921600",
             60 * 1024,
             {},
             0},
            {"115200 baud, 16 ms turnaround, 16 KB",
             {"--baud", "115200", "--turnaround-ms", "16"},
             "115200",
             16 * 1024,
             {},
             0},
        };
        for (Packing& k : packings) {
            const std::string image = dir + "/pack-" + std::to_string(k.imageBytes) + ".hex";
            const std::vector<std::uint8_t> content = WriteImage(image, k.imageBytes);
            const LoadWatch watch;
            for (int round = 0; round < kTurns; ++round) {
                Packing::Pair pair;
                pair.unpacked =
                    CliDownload(cli, dir, partDb, image, content, k.simArgs, k.baud, 0, false);
                pair.packed =
                    CliDownload(cli, dir, partDb, image, content, k.simArgs, k.baud, 128, false);
                lines.push_back(pair.unpacked.line);
                lines.push_back(pair.packed.line);
                k.pairs.push_back(std::move(pair));
            }
            k.othersShare = busy(watch);
        }
        double lineOthers = std::max(turnOthers, refOthers);
        for (const Packing& k : packings) lineOthers = std::max(lineOthers, k.othersShare);

        // 5. Memory: talvex-cli's own peak for a small and a large image. Its
        // threads leave it a few pages higher or lower from run to run.
        std::vector<double> smallPeaks, largePeaks;
        for (int round = 0; round < kTurns; ++round) {
            smallPeaks.push_back(static_cast<double>(PeakKiB(cli, dir, partDb, 60 * 1024)));
            largePeaks.push_back(static_cast<double>(PeakKiB(cli, dir, partDb, 4 * 1024 * 1024)));
        }
        const long small = std::lround(Median(smallPeaks));
        const long large = std::lround(Median(largePeaks));

        // 6. An idle engine.
        const double idle = IdleMilliseconds(partDb);

        // 7. Gang programming: 8 boards at 115200 baud against one, in turns;
        // then 64 unpaced boards, to see where the limit lies.
        const std::string gangImage = dir + "/gang.hex";
        WriteImage(gangImage, 60 * 1024);
        std::vector<double> singleTimes, gangTimes, gangRatios, cpuPerPort;
        const LoadWatch gangWatch;
        for (int round = 0; round < kTurns; ++round) {
            const ChildRun single = CliRun(cli, dir, partDb, gangImage, 1, "115200");
            const ChildRun gang = CliRun(cli, dir, partDb, gangImage, 8, "115200");
            singleTimes.push_back(single.elapsed);
            gangTimes.push_back(gang.elapsed);
            gangRatios.push_back(gang.elapsed / single.elapsed);
            cpuPerPort.push_back(gang.cpu / gang.elapsed / 8 * 100);
        }
        const double gangOthers = busy(gangWatch);
        const std::string wideImage = dir + "/wide.hex";
        WriteImage(wideImage, 4 * 1024);
        const ChildRun wide = CliRun(cli, dir, partDb, wideImage, 64, "0");
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);

        // 8. Targets that answer late.
        const LoadWatch lateWatch;
        const LateFigures late = MeasureLateTargets(cli, dir, partDb);
        const double lateOthers = busy(lateWatch);

        // The table.
        Goal g;
        g = Goal{Median(cliRates), Spread(cliRates), 20000, true, true, true, fpsOthers};
        report.Add(
            Text("Host cost per 16-byte W frame: talvex-cli writing %u records into "
                 "zarq-sim, unpaced (median of 5)",
                 kFpsRecords),
            Text("%.0f frames/s, %.1f us/frame (spread %.0f)", g.median, 1e6 / g.median, g.spread),
            ">= 20000 frames/s", g);
        report.AddFigure(
            "the engine alone, in one process with the target (median of 5 x 20000)",
            Text("%.0f frames/s (spread %.0f)", Median(engineRates), Spread(engineRates)));
        g = Goal{Median(pairRatios), Spread(pairRatios), 1.02, false, true, true, refOthers};
        report.Add(Text("talvex-cli vs the reference host, 60 KB at 115200 baud (%zu frames, %d "
                        "turns each)",
                        cliFrames.size(), kTurns),
                   Text("%.3f s / %.3f s (medians); ratio %.4f (median of the turns, spread "
                        "%.4f)",
                        Median(cliTimes), Median(refTimes), g.median, g.spread),
                   "<= 1.02", g);
        StampRow(stamp, report);
        if (databaseFigures) DatabaseRow(*databaseFigures, report);
        g = Goal{turn.medianUs, turn.spreadUs, 10, false, true, true, turnOthers};
        report.Add(Text("Host turnaround, answer in hand to next frame handed over (%zu frames)",
                        turn.samples),
                   Text("median %.1f us, p99 %.1f us (spread %.1f us between the download's "
                        "thirds)",
                        turn.medianUs, turn.p99Us, turn.spreadUs),
                   "median <= 10 us", g);
        std::vector<double> lineShares, stallShares;
        std::size_t stalls = 0;
        double lateMax = 0;
        for (const LineError& e : lines) {
            lineShares.push_back(e.share);
            stallShares.push_back(e.stallShare);
            stalls += e.stalls;
            lateMax = std::max(lateMax, e.lateMaxUs);
        }
        std::vector<double> lineMedians;
        lineMedians.reserve(lines.size());
        for (const LineError& e : lines) lineMedians.push_back(e.medianUs);
        g = Goal{Median(lineShares), Spread(lineShares), 0.001, false, true, true, lineOthers};
        report.Add(Text("Emulated line's own error over %zu runs: median lateness of an answer",
                        lines.size()),
                   Text("%.1f us = %.3f %% of an exchange (median of the runs, spread %.3f %%)",
                        Median(lineMedians), g.median * 100, g.spread * 100),
                   "median < 0.1 %", g);
        report.AddFigure(
            Text("the same runs: line time lost to answers more than %.0f ms late", kLateMs),
            Text("%.2f %% in the median run, %.2f %% in the worst; %zu such answers in all, at "
                 "most %.0f us late",
                 Median(stallShares) * 100,
                 *std::max_element(stallShares.begin(), stallShares.end()) * 100, stalls, lateMax));
        report.AddFigure(
            "talvex-cli's time over the wire's limit, 60 KB at 115200 baud, verify off",
            Text("%.3f (spread %.3f); the reference host %.3f", Median(cliWire), Spread(cliWire),
                 Median(refWire)),
            "(bytes on the line at 10 bits a byte over the baud rate)");
        report.AddFigure(Text("The engine, 60 KB with verify at 115200 vs wire time (%llu frames)",
                              static_cast<unsigned long long>(turn.wire.frames)),
                         Text("%.2f s / %.2f s = %.3f", turn.elapsed, turn.wire.seconds, lineShare),
                         "(the pseudo-terminal's share)");
        for (const Packing& k : packings) {
            const Packing::Pair& m = k.MedianPair();
            g = Goal{Median(k.Each([](const Packing::Pair& p) { return p.Share(); })),
                     Spread(k.Each([](const Packing::Pair& p) { return p.Share(); })),
                     0.97,
                     true,
                     true,
                     true,
                     k.othersShare};
            report.Add(
                Text("Packed to 128 bytes vs one frame per 16-byte record, %s: write pass (%d "
                     "turns, the median shown)",
                     k.line, kTurns),
                Text("%.2f s / %.2f s = %.2fx; the line allows %.2fx: %.1f %% of it (spread "
                     "%.1f %%); whole run %.2fx",
                     m.unpacked.writePassSeconds, m.packed.writePassSeconds, m.PassRatio(),
                     m.LimitRatio(), g.median * 100, g.spread * 100, m.WholeRatio()),
                ">= 97 % of the line's limit", g);
        }
        // The spread of the peaks is the program's own, not the machine's:
        // printed, not judged.
        g = Goal{static_cast<double>(large - small), 0, 1024, false, false, false, 0};
        report.Add(Text("Peak resident memory of talvex-cli itself, 60 KB vs 4 MB image (%d "
                        "runs each, medians)",
                        kTurns),
                   Text("%ld KiB vs %ld KiB (%+ld KiB; spread %.0f and %.0f KiB)", small, large,
                        large - small, Spread(smallPeaks), Spread(largePeaks)),
                   "within 1024 KiB", g);
        g = Goal{idle, 0, 10, false, true, false, 0};
        report.Add("CPU time of an idle engine over 5 s", Text("%.2f ms", idle), "< 10 ms", g);
        g = Goal{Median(gangRatios), Spread(gangRatios), 1.1, false, true, true, gangOthers};
        report.Add(Text("talvex-cli --ports, 60 KB with verify at 115200 baud into 8 boards vs one "
                        "(%d turns)",
                        kTurns),
                   Text("%.2f s / %.2f s (medians); ratio %.3f (median of the turns, spread %.3f)",
                        Median(gangTimes), Median(singleTimes), g.median, g.spread),
                   "<= 1.1", g);
        g = Goal{Median(cpuPerPort), Spread(cpuPerPort), 5, false, true, false, 0};
        report.Add("CPU time of talvex-cli per port in the 8-board runs",
                   Text("%.2f %% of a core per port (spread %.2f)", g.median, g.spread), "< 5 %",
                   g);
        report.AddFigure(Text("64 unpaced boards, 4 KB image (open-file limit %llu)",
                              static_cast<unsigned long long>(files.rlim_cur)),
                         Text("%.2f s, CPU %.2f s, talvex-cli's peak resident memory %ld KiB",
                              wide.elapsed, wide.cpu, wide.peakKiB),
                         "(where the limit lies)");
        LateRows(late, lateOthers, report);

        const double othersAll = whole.OthersShare();
        std::printf("Machine: %s\n", Machine().c_str());
        std::printf(
            "Other processes took %.1f %% of the machine's processor time during the "
            "bench, %.1f %% in its busiest part (more than %.0f %% leaves a timed goal "
            "inconclusive).\n\n",
            othersAll * 100, busiest * 100, kBusyShare * 100);
        report.Print();

        std::filesystem::create_directories(std::filesystem::path(out).parent_path().empty()
                                                ? "."
                                                : std::filesystem::path(out).parent_path());
        std::ofstream json(out);
        json << "{\n  \"machine\": \"" << Machine() << "\",\n"
             << "  \"others_cpu_share\": " << othersAll << ",\n"
             << "  \"others_cpu_share_busiest\": " << busiest << ",\n"
             << "  \"frames_per_second\": " << Median(cliRates) << ",\n"
             << "  \"frames_per_second_spread\": " << Spread(cliRates) << ",\n"
             << "  \"engine_frames_per_second\": " << Median(engineRates) << ",\n"
             << "  \"reference_cli_s\": " << Median(cliTimes) << ",\n"
             << "  \"reference_host_s\": " << Median(refTimes) << ",\n"
             << "  \"reference_ratio\": " << Median(pairRatios) << ",\n"
             << "  \"reference_ratio_spread\": " << Spread(pairRatios) << ",\n"
             << "  \"stamp_plain_s\": " << Median(stamp.plain) << ",\n"
             << "  \"stamp_serial_s\": " << Median(stamp.stamped) << ",\n"
             << "  \"stamp_ratio\": " << stamp.Ratio() << ",\n"
             << "  \"stamp_ratio_spread\": " << Spread(stamp.ratios) << ",\n"
             << "  \"database_per_board_ms\": "
             << (databaseFigures ? Text("%.3f", Median(databaseFigures->perBoardMs)) : "null")
             << ",\n"
             << "  \"cli_wire_ratio\": " << Median(cliWire) << ",\n"
             << "  \"reference_host_wire_ratio\": " << Median(refWire) << ",\n"
             << "  \"turnaround_median_us\": " << turn.medianUs << ",\n"
             << "  \"turnaround_p99_us\": " << turn.p99Us << ",\n"
             << "  \"turnaround_spread_us\": " << turn.spreadUs << ",\n"
             << "  \"sim_late_median_us\": " << Median(lineMedians) << ",\n"
             << "  \"sim_late_share\": " << Median(lineShares) << ",\n"
             << "  \"sim_late_share_spread\": " << Spread(lineShares) << ",\n"
             << "  \"sim_stall_share_median\": " << Median(stallShares) << ",\n"
             << "  \"sim_stall_share_worst\": "
             << *std::max_element(stallShares.begin(), stallShares.end()) << ",\n"
             << "  \"sim_stalls\": " << stalls << ",\n"
             << "  \"sim_late_max_us\": " << lateMax << ",\n"
             << "  \"download_elapsed_s\": " << turn.elapsed << ",\n"
             << "  \"wire_bound_s\": " << turn.wire.seconds << ",\n"
             << "  \"wire_efficiency\": " << lineShare << ",\n";
        for (std::size_t i = 0; i < packings.size(); ++i) {
            const Packing& k = packings[i];
            const Packing::Pair& m = k.MedianPair();
            json << "  \"packing_" << i << "\": {\"line\": \"" << k.line
                 << "\", \"unpacked_s\": " << m.unpacked.run.elapsed
                 << ", \"packed_s\": " << m.packed.run.elapsed
                 << ", \"unpacked_write_pass_s\": " << m.unpacked.writePassSeconds
                 << ", \"packed_write_pass_s\": " << m.packed.writePassSeconds
                 << ", \"write_pass_speedup\": " << m.PassRatio()
                 << ", \"line_limit_speedup\": " << m.LimitRatio() << ", \"share_of_limit\": "
                 << Median(k.Each([](const Packing::Pair& p) { return p.Share(); }))
                 << ", \"share_of_limit_spread\": "
                 << Spread(k.Each([](const Packing::Pair& p) { return p.Share(); })) << "},\n";
        }
        json << "  \"peak_rss_kib_60k\": " << small << ",\n"
             << "  \"peak_rss_kib_4m\": " << large << ",\n"
             << "  \"idle_cpu_ms_5s\": " << idle << ",\n"
             << "  \"single_port_s\": " << Median(singleTimes) << ",\n"
             << "  \"gang8_s\": " << Median(gangTimes) << ",\n"
             << "  \"gang8_ratio\": " << Median(gangRatios) << ",\n"
             << "  \"gang8_ratio_spread\": " << Spread(gangRatios) << ",\n"
             << "  \"gang8_cpu_percent_per_port\": " << Median(cpuPerPort) << ",\n"
             << "  \"gang64_s\": " << wide.elapsed << ",\n"
             << "  \"gang64_cpu_s\": " << wide.cpu << ",\n"
             << "  \"gang64_peak_rss_kib\": " << wide.peakKiB << ",\n"
             << "  \"steady25_s\": " << late.SteadyMedian() << ",\n"
             << "  \"steady25_before_s\": " << kBeforeSteady25.seconds << ",\n"
             << "  \"steady25_speedup\": " << late.Speedup() << ",\n"
             << "  \"steady25_repeats_after_first_late\": " << late.MedianTurn().repeatsAfter
             << ",\n"
             << "  \"adapter16_repeats\": " << late.adapter.stats.retries << ",\n"
             << "  \"adapter16_resync_blocks\": " << late.adapter.stats.resyncBlocks << ",\n"
             << "  \"adapter16_repeats_after_first_late\": " << late.adapter.repeatsAfter << ",\n"
             << "  \"slow_write_repeats\": " << late.slowWrite.stats.retries << ",\n"
             << "  \"slow_write_resync_blocks\": " << late.slowWrite.stats.resyncBlocks << ",\n"
             << "  \"slow_write_repeats_after_first_late\": " << late.slowWrite.repeatsAfter
             << ",\n  \"exit_code\": " << report.ExitCode() << "\n}\n";
        std::printf("\nWrote %s\n", out.c_str());
        status = report.ExitCode();
        if (status == kExitMet) {
            std::printf("Every goal met.\n");
        } else if (status == kExitMissed) {
            std::printf("%zu goals missed.\n", report.Count(Verdict::Missed));
        } else {
            std::printf(
                "inconclusive: machine too busy (%zu goals could not be judged; other "
                "processes took up to %.0f %% of the processor time)\n",
                report.Count(Verdict::Busy) + report.Count(Verdict::TooWide), busiest * 100);
        }
    } catch (const Fail& f) {
        std::fprintf(stderr, "talvex-bench: %s\n", f.what.c_str());
        status = kExitBroken;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
