// The bench's memory figure is talvex-cli's own peak: it agrees with GNU
// time's, however large the process that measures it.

#include "child_run.h"
#include "zarq_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace talvex::bench {
namespace {

class PeakMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/talvex-peak-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        image_ = (dir_ / "board.hex").string();
        // 60 KB of 16-byte records, the bench's small image.
        std::ofstream out(image_);
        std::mt19937 random(60);
        for (unsigned at = 0; at < 60 * 1024; at += 16) {
            unsigned sum = 16 + (at >> 8) + (at & 0xFF);
            char text[16];
            std::snprintf(text, sizeof text, ":10%04X00", at);
            out << text;
            for (int i = 0; i < 16; ++i) {
                const unsigned b = random() & 0xFF;
                sum += b;
                std::snprintf(text, sizeof text, "%02X", b);
                out << text;
            }
            std::snprintf(text, sizeof text, "%02X\n", (256 - (sum & 0xFF)) & 0xFF);
            out << text;
        }
        out << ":00000001FF\n";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // talvex-cli's peak resident memory for one download into a fresh
    // target, as the bench's launcher or as /usr/bin/time -v tells it.
    long PeakKiB(bool withGnuTime) {
        zarq::SimOptions options;
        std::string error;
        EXPECT_TRUE(zarq::ParseSimArgs({"--partdb", TALVEX_BIN_DIR "/zelchip.ini"}, options, error))
            << error;
        options.keepLog = false;
        zarq::Simulator sim(options);
        if (!sim.Start(error)) {
            ADD_FAILURE() << error;
            return -1;
        }
        std::vector<std::string> args = {TALVEX_BIN_DIR "/talvex-cli",
                                         "--no-progress",
                                         (dir_ / "peak.ini").string(),
                                         "af=" + image_,
                                         "cp=" + sim.DevicePath(),
                                         "cb=115200",
                                         "fe=n",
                                         "fp=y",
                                         "fv=n",
                                         "ap=ZaRQ4126"};
        long peak = -1;
        if (withGnuTime) {
            args.insert(args.begin(), {TALVEX_GNU_TIME, "-v"});
            const std::string report = (dir_ / "time.txt").string();
            EXPECT_EQ(RunWithErrorsTo(args, report), 0);
            std::ifstream in(report);
            const std::string key = "Maximum resident set size (kbytes):";
            for (std::string line; std::getline(in, line);) {
                const std::size_t at = line.find(key);
                if (at != std::string::npos) peak = std::atol(line.c_str() + at + key.size());
            }
        } else {
            ChildRun run;
            EXPECT_TRUE(RunMeasured(TALVEX_BENCH_DIR "/talvex-peak", args, run, error)) << error;
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_GT(run.elapsed, 0);
            EXPECT_GT(run.cpu, 0);
            peak = run.peakKiB;
        }
        sim.Stop();
        EXPECT_GT(peak, 0);
        return peak;
    }

    // The median of a few downloads: talvex-cli's threads leave its peak
    // a few pages higher or lower from one run to the next.
    double MedianPeakKiB(bool withGnuTime) {
        std::vector<long> peaks;
        for (int run = 0; run < 5; ++run) peaks.push_back(PeakKiB(withGnuTime));
        std::sort(peaks.begin(), peaks.end());
        return static_cast<double>(peaks[peaks.size() / 2]);
    }

    std::filesystem::path dir_;
    std::string image_;
};

TEST_F(PeakMemoryTest, AgreesWithGnuTimeWithin5PercentWhateverTheCallersSize) {
    const double gnuTime = MedianPeakKiB(true);
    ASSERT_GT(gnuTime, 0);
    // A forked copy of the caller keeps the caller's high-water mark: from
    // the bench that made talvex-cli's figure the bench's own 13 MB.
    for (const std::size_t callerMiB : {0, 64}) {
        SCOPED_TRACE("caller holding " + std::to_string(callerMiB) + " MiB");
        std::vector<char> ballast(callerMiB << 20);
        for (std::size_t i = 0; i < ballast.size(); i += 4096) ballast[i] = 1;
        const double ours = MedianPeakKiB(false);
        EXPECT_NEAR(ours, gnuTime, 0.05 * gnuTime)
            << "launcher " << ours << " KiB, /usr/bin/time -v " << gnuTime << " KiB";
    }
}

} // namespace
} // namespace talvex::bench
