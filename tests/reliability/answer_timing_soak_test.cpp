// Many downloads against targets that answer late, by a random amount and
// with random jitter, while other work keeps the machine's cores busy: the
// conditions under which answers and frames drift out of step. Whatever the
// timing, a run that ends with 0 must leave the image in the flash; a run
// with a fault must end with the code of its pass.
//
// TALVEX_SOAK_RUNS      runs (default 8, as ctest runs it)
// TALVEX_SOAK_SEED      seed of the whole soak (default: random, printed)
// TALVEX_SOAK_REPEAT    the seed of one run, as a failure prints it: only that run
// TALVEX_SOAK_SECONDS   no new run starts after this long (see soak_budget.h)
// TALVEX_SOAK_BUSY      busy loops kept spinning meanwhile (default 2)

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../engine/download_settings.h"
#include "../engine/link_observer.h"
#include "../engine/recording_window.h"
#include "run_observer.h"
#include "serial_thread.h"
#include "soak_budget.h"
#include "zarq_sim.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// 1 KB from offset 0 in 32-byte records: 32 write frames unpacked, 16 packed
// to 64 bytes, 8 packed to 128; two pages to erase.
constexpr std::uint32_t kImageBytes = 1024;
constexpr std::uint32_t kRecordBytes = 32;

std::optional<std::uint64_t> EnvNumber(const char* name) {
    const char* text = std::getenv(name);
    if (!text || !*text) return std::nullopt;
    return std::strtoull(text, nullptr, 10);
}

// Writes the image and returns the flash it should leave: the image over
// erased cells.
std::vector<std::uint8_t> WriteImage(const std::string& path, std::size_t flashSize) {
    std::vector<std::uint8_t> flash(flashSize, 0xFF);
    std::mt19937 random(kImageBytes);
    std::ofstream out(path);
    out << ":020000040000FA\n";
    char text[16];
    for (std::uint32_t at = 0; at < kImageBytes; at += kRecordBytes) {
        unsigned sum = kRecordBytes + (at >> 8) + (at & 0xFF);
        std::snprintf(text, sizeof text, ":%02X%04X00", kRecordBytes, at);
        out << text;
        for (std::uint32_t i = 0; i < kRecordBytes; ++i) {
            // No 0xFF bytes: a byte never written must show.
            const unsigned b = random() % 0xFF;
            flash[at + i] = static_cast<std::uint8_t>(b);
            sum += b;
            std::snprintf(text, sizeof text, "%02X", b);
            out << text;
        }
        std::snprintf(text, sizeof text, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
        out << text;
    }
    out << ":00000001FF\n";
    return flash;
}

// What one run does: the target's timing and fault, and the host's settings.
struct Plan {
    std::uint64_t seed = 0; // the run's own, from which everything else is drawn
    std::vector<std::string> simArgs;
    std::string baud;
    bool verify = false;
    int frameBytes = 0;
    std::string fault = "no fault";
    int code = 0; // the code the run must end with

    std::string Describe() const {
        std::ostringstream text;
        text << "zarq-sim";
        for (const std::string& a : simArgs) text << ' ' << a;
        text << " / talvex-cli cb=" << baud << " fv=" << (verify ? 'y' : 'n')
             << " fb=" << frameBytes << " (" << fault << ", run seed " << seed << ")";
        return text.str();
    }
};

Plan Draw(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    const auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(random);
    };
    Plan p;
    p.seed = seed;
    p.baud = pick(0, 1) ? "230400" : "115200";
    p.verify = pick(0, 1) == 1;
    p.frameBytes = std::vector<int>{0, 64, 128}[pick(0, 2)];
    const std::uint64_t simSeed = random();
    p.simArgs = {"--baud",
                 p.baud,
                 "--answer-delay-ms",
                 std::to_string(pick(0, 40)),
                 "--jitter-ms",
                 std::to_string(pick(0, 10)),
                 "--seed",
                 std::to_string(simSeed)};

    const int writes =
        static_cast<int>(kImageBytes / std::max<std::uint32_t>(kRecordBytes, p.frameBytes));
    const auto add = [&p](std::vector<std::string> args, std::string what, int code) {
        p.simArgs.insert(p.simArgs.end(), args.begin(), args.end());
        p.fault = std::move(what);
        p.code = code;
    };
    const std::string w = "W@" + std::to_string(pick(1, writes));
    const std::string v = "V@" + std::to_string(pick(1, writes));
    // About half the runs have a fault; the rest show the timing alone.
    switch (pick(0, 13)) {
    case 0: add({"--nak", w}, "every try of " + w + " refused", 7); break;
    case 1: add({"--silent", w}, "no answer to " + w, 7); break;
    case 2: {
        const std::string rule = w + ":" + std::to_string(pick(1, 5));
        add({"--double-answer", rule}, "answers to " + w + " doubled", 0);
        break;
    }
    case 3: {
        // A refused first try whose repeat is answered later than it was.
        const std::string rule = w + ":+" + std::to_string(pick(1, 30));
        add({"--ack-after", "1:" + w, "--late-repeat", rule}, "first try refused, repeat late", 0);
        break;
    }
    case 4: {
        const std::string rule = w + ":" + std::to_string(pick(10, 300));
        add({"--late-answer", rule}, "late first answer to " + w, 0);
        break;
    }
    case 5:
        add({"--ack-after", std::to_string(pick(1, 3)) + ":" + w}, "tries of " + w + " refused", 0);
        break;
    case 6:
        if (p.verify) {
            add({"--nak", v}, "verify " + v + " refused", 8);
        } else {
            add({"--double-answer", "E@1"}, "answers to E@1 doubled", 0);
        }
        break;
    default: break;
    }
    return p;
}

// Spins on every core it is given until it is destroyed, as other work on a
// production PC would.
class BusyLoops {
public:
    explicit BusyLoops(int count) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                volatile std::uint64_t sink = 0;
                while (!stop_.load(std::memory_order_relaxed)) sink = sink + 1;
            });
        }
    }
    ~BusyLoops() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

struct Outcome {
    int code = -100; // -100: no result in time
    bool flashMatches = false;
    LinkObserver link;
    zarq::SimStats target;
    std::vector<zarq::LogEntry> log;
    std::vector<std::string> failures;
};

Outcome RunOnce(const Plan& plan, const std::string& partDb, const std::string& image,
                const std::vector<std::uint8_t>& expected) {
    std::vector<std::string> args = plan.simArgs;
    args.push_back("--partdb");
    args.push_back(partDb);
    zarq::SimOptions options;
    std::string error;
    Outcome out;
    if (!zarq::ParseSimArgs(args, options, error)) {
        ADD_FAILURE() << error;
        return out;
    }
    zarq::Simulator sim(options);
    if (!sim.Start(error)) {
        ADD_FAILURE() << error;
        return out;
    }
    Settings s = DownloadSettings(partDb, image, sim.DevicePath(), plan.baud);
    s.verify = plan.verify ? "Yes" : "No";
    s.frameBytes = plan.frameBytes;
    RecordingWindow window;
    {
        SerialThread worker(window, s);
        worker.SetImagePath(image);
        worker.SetRunObserver(&out.link);
        worker.Flags().Unattended.Begin();
        worker.PressStart();
        out.code = window.WaitResult(60s).value_or(-100);
        worker.WaitIdle(30s);
        worker.RequestStop();
        worker.Join();
    }
    sim.Stop();
    out.flashMatches = sim.Flash() == expected;
    out.target = sim.Stats();
    out.log = sim.Log();
    out.failures = window.Failures();
    return out;
}

TEST(AnswerTimingSoak, ExitZeroAlwaysLeavesTheImageAndFaultsEndWithTheirPassCode) {
    const int runs = static_cast<int>(EnvNumber("TALVEX_SOAK_RUNS").value_or(8));
    const int busy = static_cast<int>(EnvNumber("TALVEX_SOAK_BUSY").value_or(2));
    const std::optional<std::uint64_t> only = EnvNumber("TALVEX_SOAK_REPEAT");
    const std::uint64_t seed = EnvNumber("TALVEX_SOAK_SEED").value_or(std::random_device{}());
    if (only) {
        std::printf("answer-timing soak: the run of seed %llu, %d busy loops\n",
                    static_cast<unsigned long long>(*only), busy);
    } else {
        std::printf(
            "answer-timing soak: %d runs, %d busy loops, seed %llu "
            "(TALVEX_SOAK_SEED=%llu repeats them)\n",
            runs, busy, static_cast<unsigned long long>(seed),
            static_cast<unsigned long long>(seed));
    }
    std::mt19937_64 seeds(seed);

    char pattern[] = "/tmp/talvex-timing-soak-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    const std::string partDb = (dir / "zelchip.ini").string();
    std::filesystem::copy_file(TALVEX_RES_DIR "/zelchip.ini", partDb);
    const std::string image = (dir / "soak.hex").string();
    std::vector<std::uint8_t> expected;
    {
        // The flash's size as the target has it for the default part.
        zarq::SimOptions options;
        std::string error;
        ASSERT_TRUE(zarq::ParseSimArgs({"--partdb", partDb}, options, error)) << error;
        options.keepLog = false;
        zarq::Simulator sim(options);
        ASSERT_TRUE(sim.Start(error)) << error;
        expected = WriteImage(image, sim.Flash().size());
        sim.Stop();
    }

    int started = 0, exitZero = 0, exitZeroDiffers = 0, unexpected = 0;
    int misalignedRuns = 0;
    std::uint64_t misalignments = 0, repeats = 0, targetRetries = 0;
    std::map<int, int> codes;
    bool keepDir = false;
    const auto begin = Clock::now();
    {
        const BusyLoops loops(busy);
        for (int run = 0; run < (only ? 1 : runs); ++run) {
            if (!SoakTimeLeft()) break;
            const std::uint64_t runSeed = only ? *only : seeds();
            const Plan plan = Draw(runSeed);
            const Outcome out = RunOnce(plan, partDb, image, expected);
            ++started;
            ++codes[out.code];
            misalignments += out.link.misaligned;
            misalignedRuns += out.link.misaligned > 0 ? 1 : 0;
            repeats += out.link.repeats;
            targetRetries += out.target.retries;
            const bool differs = out.code == 0 && !out.flashMatches;
            exitZero += out.code == 0 ? 1 : 0;
            exitZeroDiffers += differs ? 1 : 0;
            if (!differs && out.code == plan.code) continue;
            unexpected += differs ? 0 : 1;

            // Keep what is needed to look into the run: the target's log.
            keepDir = true;
            const std::filesystem::path log = dir / ("run-" + std::to_string(run) + ".jsonl");
            {
                std::ofstream file(log);
                for (const auto& entry : out.log) file << zarq::FormatLogLine(entry) << '\n';
            }
            const std::string first = out.failures.empty() ? "" : out.failures.front();
            ADD_FAILURE() << "run " << run << ": " << plan.Describe() << "\n  ended with "
                          << out.code << ", expected " << plan.code
                          << (differs ? "; EXIT 0 BUT THE FLASH DIFFERS FROM THE IMAGE" : "")
                          << "\n  link: answer wait " << out.link.answerWaitMs << " ms, "
                          << out.link.misaligned << " misaligned, " << out.link.repeats
                          << " repeats; target: " << out.target.frames << " frames, "
                          << out.target.retries << " retries, " << out.target.resyncBlocks
                          << " resync blocks" << (first.empty() ? "" : "\n  failure: " + first)
                          << "\n  target's log: " << log.string()
                          << "\n  TALVEX_SOAK_REPEAT=" << plan.seed << " repeats this run";
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();

    std::printf("answer-timing soak: %d of %d runs in %.0f s", started, only ? 1 : runs, seconds);
    if (started < (only ? 1 : runs)) {
        std::printf(" (the soak's %lld s were up)", static_cast<long long>(SoakBudget().count()));
    }
    std::printf("\n  exit 0: %d runs; exit 0 with a flash that differs from the image: %d\n",
                exitZero, exitZeroDiffers);
    std::printf("  codes:");
    for (const auto& [code, count] : codes) std::printf(" %d x%d", code, count);
    std::printf("; runs not ending with the code their fault calls for: %d\n", unexpected);
    std::printf(
        "  misalignments detected: %llu (in %d runs); repeats sent: %llu (the targets "
        "saw %llu retries)\n",
        static_cast<unsigned long long>(misalignments), misalignedRuns,
        static_cast<unsigned long long>(repeats), static_cast<unsigned long long>(targetRetries));
    EXPECT_EQ(exitZeroDiffers, 0) << "a success that is not one";
    EXPECT_EQ(unexpected, 0);

    if (keepDir) {
        std::printf("  the failing runs' logs stay in %s\n", dir.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

} // namespace
} // namespace talvex::testing
