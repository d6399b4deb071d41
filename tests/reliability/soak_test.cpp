// Many downloads in one process, each against a fresh emulated target with a
// fault drawn at random: every run must end with the code its fault calls
// for, and the process must not leak descriptors or memory.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

#include "../engine/download_settings.h"
#include "../engine/recording_window.h"
#include "serial_thread.h"
#include "soak_budget.h"
#include "zarq_sim.h"

namespace talvex::testing {
namespace {

// AddressSanitizer holds freed memory back in quarantine, so resident memory
// says nothing there; its leak checker watches for leaks instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

using namespace std::chrono_literals;

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::string HexImage(int records) {
    std::string text = ":020000040000FA\n";
    for (int r = 0; r < records; ++r) {
        const unsigned offset = 0x1F0u + static_cast<unsigned>(r) * 16u;
        char line[64];
        unsigned sum = 16 + (offset >> 8) + (offset & 0xFF);
        std::snprintf(line, sizeof line, ":10%04X00", offset);
        std::string rec = line;
        for (int i = 0; i < 16; ++i) {
            const unsigned b = (offset + static_cast<unsigned>(i) * 7u) & 0xFF;
            std::snprintf(line, sizeof line, "%02X", b);
            rec += line;
            sum += b;
        }
        std::snprintf(line, sizeof line, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
        text += rec + line;
    }
    return text + ":00000001FF\n";
}

enum class Fault { None, Nak, Silence, AckAfter, HangUp, Garbage, Noise, WrongPart };

struct Plan {
    Fault fault;
    std::vector<std::string> args;
    int code;
    std::string what;
};

constexpr int kRecords = 12; // 0x1F0 .. 0x2AF: pages 0 and 1

Plan Draw(std::mt19937& random) {
    const auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(random);
    };
    const Fault fault = static_cast<Fault>(pick(0, 7));
    switch (fault) {
    case Fault::None: return {fault, {}, 0, "no fault"};
    case Fault::Nak: {
        const char letter = "EWV"[pick(0, 2)];
        const int n = letter == 'E' ? pick(1, 2) : pick(1, kRecords);
        const std::string sel = std::string(1, letter) + "@" + std::to_string(n);
        return {fault, {"--nak", sel}, letter == 'E' ? 5 : letter == 'W' ? 7 : 8, "nak " + sel};
    }
    case Fault::Silence: {
        const char letter = "WV"[pick(0, 1)];
        const std::string sel = std::string(1, letter) + "@" + std::to_string(pick(1, kRecords));
        return {fault, {"--silent", sel}, letter == 'W' ? 7 : 8, "silent " + sel};
    }
    case Fault::AckAfter: {
        const std::string rule =
            std::to_string(pick(1, 9)) + ":W@" + std::to_string(pick(1, kRecords));
        return {fault, {"--ack-after", rule}, 0, "ack after " + rule};
    }
    case Fault::HangUp: {
        // Two erase frames, then the writes: hang up somewhere among them.
        const int after = pick(2, 2 + kRecords - 1);
        return {fault,
                {"--hangup-after", std::to_string(after)},
                7,
                "hang-up after frame " + std::to_string(after)};
    }
    case Fault::Garbage: {
        const std::string sel = "V@" + std::to_string(pick(1, kRecords));
        return {fault, {"--garbage-ack", sel}, 8, "garbage " + sel};
    }
    case Fault::Noise:
        return {fault, {"--noise", "\x1b[0mboot> "}, 0, "noise before the identification"};
    case Fault::WrongPart: return {fault, {"--part", "ZaRQ4121"}, 6, "wrong part"};
    }
    return {Fault::None, {}, 0, "no fault"};
}

TEST(Soak, EveryRunEndsWithTheCodeItsFaultCallsFor) {
    const char* runsText = std::getenv("TALVEX_SOAK_RUNS");
    const int runs = runsText ? std::atoi(runsText) : 30;
    const char* seedText = std::getenv("TALVEX_SOAK_SEED");
    const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                                   : static_cast<unsigned>(std::random_device{}());
    std::printf("soak: %d runs, seed %u (TALVEX_SOAK_SEED=%u repeats them)\n", runs, seed, seed);
    std::mt19937 random(seed);

    char pattern[] = "/tmp/talvex-soak-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    const std::string partDb = (dir / "zelchip.ini").string();
    std::filesystem::copy_file(TALVEX_RES_DIR "/zelchip.ini", partDb);
    const std::string image = (dir / "soak.hex").string();
    std::ofstream(image) << HexImage(kRecords);

    int descriptorsBefore = 0;
    long residentBefore = 0;
    int done = 0;
    for (int run = 0; run < runs && SoakTimeLeft(); ++run) {
        // The first runs warm up the allocator and the C library.
        if (run == std::min(5, runs - 1)) {
            descriptorsBefore = OpenDescriptors();
            residentBefore = ResidentKiB();
        }
        Plan plan = Draw(random);
        plan.args.push_back("--partdb");
        plan.args.push_back(partDb);
        zarq::SimOptions options;
        std::string error;
        ASSERT_TRUE(zarq::ParseSimArgs(plan.args, options, error)) << error;
        options.keepLog = false;
        zarq::Simulator sim(options);
        ASSERT_TRUE(sim.Start(error)) << error;

        const Settings s = DownloadSettings(partDb, image, sim.DevicePath(), "230400");
        RecordingWindow window;
        int code = -100;
        {
            SerialThread worker(window, s);
            worker.SetImagePath(image);
            worker.Flags().Unattended.Begin();
            worker.PressStart();
            code = window.WaitResult(30s).value_or(-100);
            worker.WaitIdle(30s);
            worker.RequestStop();
            worker.Join();
        }
        sim.Stop();
        ASSERT_EQ(code, plan.code) << "run " << run << " (" << plan.what << "), seed " << seed;
        ++done;
    }
    if (done < runs) {
        std::printf("soak: %d of %d runs, the soak's %lld s were up\n", done, runs,
                    static_cast<long long>(SoakBudget().count()));
    }
    if (done > 5) {
        EXPECT_EQ(OpenDescriptors(), descriptorsBefore) << "descriptors leaked";
        // Allocator noise stays well below a megabyte; a leak per run would not.
        if (kResidentMemoryMeaningful) {
            EXPECT_LT(ResidentKiB() - residentBefore, 2048) << "resident memory grew";
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

} // namespace
} // namespace talvex::testing
