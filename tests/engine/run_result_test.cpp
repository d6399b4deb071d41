// What a window shows when a run ends, the log it hands on, and the image at
// a glance: the texts and figures, and the real worker telling them.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "download_session.h"
#include "engine_fixture.h"
#include "image_glance.h"
#include "image_shadow.h"
#include "progress_bar_state.h"
#include "run_result.h"
#include "sha256.h"
#include "status_log.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

RunResult Failure(ExitCode code, std::optional<std::uint32_t> address, std::string text) {
    RunResult r;
    r.code = code;
    r.failedAddress = address;
    r.failure = std::move(text);
    return r;
}

TEST(ResultBarText, SaysWhatFailedAndWhereOrHowMuchWentInHowFast) {
    RunResult done;
    done.bytes = 1575;
    done.seconds = 4.24;
    EXPECT_EQ(ResultBarText(done), "Done: 1575 bytes in 4.2 s");

    const struct {
        RunResult result;
        const char* text;
    } failures[] = {
        {Failure(ExitCode::Write, 0x90, "Error at 0x90 - 0xa0 \n Download aborted."),
         "Failed: write refused at 0x90 (code 7)"},
        {Failure(ExitCode::Verify, 0x80100, "Error at 0x80100 - 0x80110 \n Verify aborted."),
         "Failed: verify failed at 0x80100 (code 8)"},
        {Failure(ExitCode::Erase, 0x80200, "Erase failure at 0x00080200. Process aborted."),
         "Failed: erase refused at 0x80200 (code 5)"},
        {Failure(ExitCode::Address, 0x1000,
                 "Wrong memory address 0x1000 - 0x100f \n Erase aborted."),
         "Failed: record outside the flash at 0x1000 (code 3)"},
        // Without a place the worker's own words name the problem.
        {Failure(ExitCode::Port, std::nullopt, "Can not open COM port."),
         "Failed: Can not open COM port (code 4)"},
        {Failure(ExitCode::Image, std::nullopt, "Bad checksum in line 3 of board.hex.\nmore"),
         "Failed: Bad checksum in line 3 of board.hex (code 2)"},
        // A target's bytes never reach the bar raw.
        {Failure(ExitCode::WrongPart, std::nullopt, "Wrong part \x01ZQ"),
         "Failed: Wrong part \\x01ZQ (code 6)"},
        {Failure(ExitCode::FlashError, std::nullopt, ""), "Failed: flash error (code 1)"},
    };
    for (const auto& c : failures) EXPECT_EQ(ResultBarText(c.result), c.text) << c.text;
}

TEST(ResultTally, CountsDownloadsSinceTheWindowOpened) {
    ResultTally tally;
    EXPECT_EQ(tally.Title("TALVEX"), "TALVEX") << "the title stays until the first result";
    RunResult pass;
    RunResult fail = Failure(ExitCode::Write, 0x90, "");
    RunResult runAlone;
    runAlone.download = false;
    RunResult cut = Failure(ExitCode::Interrupted, std::nullopt, "");
    EXPECT_FALSE(tally.Count(runAlone)) << "a Run/Reset on its own programs no board";
    EXPECT_FALSE(tally.Count(cut));
    EXPECT_EQ(tally.Title("TALVEX"), "TALVEX");
    for (int i = 0; i < 12; ++i) EXPECT_TRUE(tally.Count(pass));
    EXPECT_TRUE(tally.Count(fail));
    EXPECT_EQ(tally.Title("TALVEX"), "TALVEX: 12 passed, 1 failed");
}

double Luma(const Rgb& c) { return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]; }

TEST(ResultTint, IsGreenOrRedAsLightAsTheStylesHighlight) {
    const Rgb highlights[] = {{48, 140, 198},  {42, 130, 218},  {0, 120, 215},
                              {128, 128, 128}, {200, 200, 255}, {20, 40, 60}};
    for (const Rgb& h : highlights) {
        SCOPED_TRACE(::testing::Message() << h[0] << "," << h[1] << "," << h[2]);
        const Rgb green = ResultTint(h, true);
        const Rgb red = ResultTint(h, false);
        EXPECT_GT(green[1], green[0]);
        EXPECT_GT(green[1], green[2]);
        EXPECT_GT(red[0], red[1]);
        EXPECT_GT(red[0], red[2]);
        // Red at full strength is darker than a light highlight can be; it
        // never gets lighter than the highlight.
        EXPECT_NEAR(Luma(green), Luma(h), 2.0);
        EXPECT_LE(Luma(red), Luma(h) + 2.0);
        EXPECT_GE(Luma(red), std::min(Luma(h), 0.2126 * 255 * 0.9) - 2.0);
    }
}

TEST(ProgressBarStateResult, StaysFullThroughStatusLinesUntilTheNextPhase) {
    ProgressBarState bar;
    const auto now = ProgressBarState::Clock::now();
    bar.SetPhase(ProgressPhase::Write);
    bar.SetRange(1000, now);
    bar.SetPosition(0); // the end of a download
    bar.ShowResult("Done: 1000 bytes in 1.0 s", true);
    bar.EndPhase(); // "Flashing Complete." and the lines after it
    EXPECT_EQ(bar.Value(), bar.Maximum());
    EXPECT_EQ(bar.Text(now), "Done: 1000 bytes in 1.0 s");
    EXPECT_EQ(bar.ResultPassed(), std::optional<bool>(true));

    bar.SetPhase(ProgressPhase::Erase);
    bar.SetRange(4, now);
    EXPECT_FALSE(bar.ResultPassed().has_value());
    EXPECT_EQ(bar.Value(), 0);
    EXPECT_EQ(bar.Maximum(), 4);
    EXPECT_EQ(bar.Text(now), "Erasing 0%");
}

TEST(StatusLog, EveryLineCarriesTheTimeItWasAdded) {
    EXPECT_EQ(TimedLine(1796652131123, "Ready @ 115200 Baud."),
              "2026-12-07T14:02:11.123Z  Ready @ 115200 Baud.");
    StatusLog log;
    EXPECT_EQ(log.Text(), "");
    log.Add("    Click Start.", 0);
    log.Add("Flashing Complete.", 1500);
    EXPECT_EQ(log.Text(),
              "1970-01-01T00:00:00.000Z      Click Start.\n"
              "1970-01-01T00:00:01.500Z  Flashing Complete.\n");
}

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() /
            ("talvex-result-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::filesystem::path dir_;
};

using SaveTextFileTest = TempFolder;

TEST_F(SaveTextFileTest, ReplacesTheFileOrSaysWhichFileFailedAndWhy) {
    const std::string path = Write("old.txt", "an older and longer log\n");
    std::string whyNot;
    ASSERT_TRUE(SaveTextFile(path, "a\nb\n", whyNot)) << whyNot;
    EXPECT_EQ(Read(path), "a\nb\n");

    const std::string missing = (dir_ / "no-such-folder" / "log.txt").string();
    EXPECT_FALSE(SaveTextFile(missing, "a\n", whyNot));
    EXPECT_EQ(whyNot, "Cannot write " + missing + ": No such file or directory");
    EXPECT_FALSE(SaveTextFile(dir_.string(), "a\n", whyNot)) << "a folder is not a file";
    EXPECT_NE(whyNot.find(dir_.string()), std::string::npos) << whyNot;
}

using DropTest = TempFolder;

TEST_F(DropTest, TakesOneRegularFileAndNothingElse) {
    const std::string a = Write("a.hex", ":00000001FF\n");
    const std::string b = Write("b.hex", ":00000001FF\n");
    EXPECT_EQ(DroppedImage({a}), std::optional<std::string>(a));
    EXPECT_EQ(DroppedImage({}), std::nullopt);
    EXPECT_EQ(DroppedImage({a, b}), std::nullopt) << "which of two would be a guess";
    EXPECT_EQ(DroppedImage({dir_.string()}), std::nullopt);
    EXPECT_EQ(DroppedImage({(dir_ / "gone.hex").string()}), std::nullopt);
    EXPECT_EQ(DroppedImage({""}), std::nullopt) << "a dropped web link has no local path";
}

TEST(LogSaveRequest, ProposesATextFileInTheImagesFolder) {
    const HelpBrowseRequest r = LogSaveRequest("/boards/v2/board.hex", '/');
    EXPECT_EQ(r.title, "Save log");
    EXPECT_EQ(r.folder, "/boards/v2/");
    EXPECT_EQ(r.proposedName, "talvex-log.txt");
    ASSERT_FALSE(r.filters.empty());
    EXPECT_EQ(r.filters[0].pattern, "*.txt");
}

using ImageGlanceTest = TempFolder;

TEST_F(ImageGlanceTest, TellsSizeRecordsRangePagesAndDigestOfASoundImage) {
    // Three records: two in the first page, one crossing from page 2 into 3.
    const std::vector<Chunk> chunks = {
        {0x000, Pattern(16, 1)}, {0x010, Pattern(16, 2)}, {0x5F8, Pattern(16, 3)}};
    const std::string text = HexText(chunks);
    const std::string path = Write("board.hex", text);
    const auto glance = LookAtImage(path);
    ASSERT_TRUE(glance);
    EXPECT_EQ(glance->problem, "");
    EXPECT_EQ(glance->dataBytes, 48u);
    EXPECT_EQ(glance->records, 3u);
    // Addresses as the file gives them, as the download's messages show them.
    EXPECT_EQ(glance->lowest, 0u);
    EXPECT_EQ(glance->highest, 0x607u);
    EXPECT_EQ(glance->pages, 3u);
    Sha256 sha;
    sha.Add(text.data(), text.size());
    const std::string digest = sha.FinishHex();
    EXPECT_EQ(glance->sha256, digest);
    EXPECT_EQ(GlanceText(*glance),
              "board.hex\n48 bytes in 3 records\n0x00000000 - 0x00000607\n"
              "3 pages to erase\nSHA-256 " +
                  digest.substr(0, 12));
}

TEST_F(ImageGlanceTest, SaysWhatIsWrongWithADamagedOrMissingImage) {
    const std::string damaged =
        Write("bad.hex", ":10000000000102030405060708090A0B0C0D0E0F77\n:00000001FF\n");
    const auto bad = LookAtImage(damaged);
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->problem.find("line 1"), std::string::npos) << bad->problem;
    EXPECT_NE(bad->problem.find("bad.hex"), std::string::npos) << bad->problem;
    EXPECT_EQ(GlanceText(*bad).rfind("bad.hex cannot be used:\n", 0), 0u) << GlanceText(*bad);

    const auto gone = LookAtImage((dir_ / "gone.hex").string());
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->problem, "No such file or directory");
    const auto folder = LookAtImage(dir_.string());
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->problem, "not a regular file");
}

TEST_F(ImageGlanceTest, LooksAgainOnlyWhenTheFileChanged) {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<ImageGlance> seen;
    ImageGlancer glancer([&](const ImageGlance& g) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(g);
        cv.notify_all();
    });
    const auto waitFor = [&](std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, 5s, [&] { return seen.size() >= n; });
    };
    const std::string path = Write("board.hex", HexText(Records(0, 4, 16)));
    EXPECT_TRUE(glancer.Refresh(path));
    ASSERT_TRUE(waitFor(1));
    EXPECT_FALSE(glancer.Refresh(path)) << "nothing changed";
    Write("board.hex", HexText(Records(0, 8, 16)));
    EXPECT_TRUE(glancer.Refresh(path)) << "the file grew";
    ASSERT_TRUE(waitFor(2));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen[0].records, 4u);
    EXPECT_EQ(seen[1].records, 8u);
}

// The real worker against zarq-sim tells the window how each run ended.
class RunResultTest : public EngineTest {
protected:
    // One interactive download of four 16-byte records; its result.
    std::optional<RunResult> Download() {
        WriteImage("board.hex", HexText(Records(0, 4, 16)));
        DownloadSession session(window_, StoredStartup(MakeSettings(), false));
        session.Open();
        session.Start();
        if (!window_.WaitRunResults(1, 10s) || !session.WaitIdle(5s)) return std::nullopt;
        EXPECT_EQ(window_.RunResults().size(), 1u) << "one result per run";
        return window_.RunResults().at(0);
    }
};

TEST_F(RunResultTest, AFailedDownloadSaysWhereTheTargetRefused) {
    StartSim({"--nak", "W@2"});
    const auto result = Download();
    ASSERT_TRUE(result);
    const RunResult& failed = *result;
    EXPECT_EQ(failed.code, ExitCode::Write);
    EXPECT_TRUE(failed.download);
    // The second frame carries the second record, at the file's address.
    EXPECT_EQ(failed.failedAddress, std::optional<std::uint32_t>(16));
    EXPECT_EQ(failed.failedPhase, std::optional<RunPhase>(RunPhase::Write));
    EXPECT_EQ(ResultBarText(failed), "Failed: write refused at 0x10 (code 7)");
}

TEST_F(RunResultTest, AGoodDownloadSaysHowManyBytesWentIn) {
    StartSim({});
    const auto result = Download();
    ASSERT_TRUE(result);
    const RunResult& passed = *result;
    EXPECT_TRUE(passed.Passed());
    EXPECT_EQ(passed.bytes, 64u);
    EXPECT_GT(passed.seconds, 0.0);
    EXPECT_FALSE(passed.failedAddress.has_value());
    // The result comes after the run's last status line.
    EXPECT_EQ(window_.Lines().back(), "    Click Run to run program.");
}

} // namespace
} // namespace talvex::testing
