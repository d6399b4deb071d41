// The console front end: its window operations, and talvex-cli as a batch
// file sees it (exit code, stdout, stderr).

#include <cstdio>

#include "cli_fixture.h"
#include "console_window.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

std::string ReadAll(std::FILE* f) {
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

TEST(ConsoleWindow, StatusLinesGoToStdoutAndFailuresToStderr) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        ConsoleWindow window(out, err, false);
        window.AddStatusLine("Ready @ 9600 baud n,8,1.");
        window.AppendStatusLine("ZaRQ4126\r\n received.");
        window.UnattendedFailure("Error at 0x10 - 0x20 \n Download aborted.");
        window.SetProgressRange(100);
        window.SetProgressPos(50);
    }
    EXPECT_EQ(ReadAll(out), "Ready @ 9600 baud n,8,1.\nZaRQ4126\\r\\n received.\n");
    EXPECT_EQ(ReadAll(err), "Error at 0x10 - 0x20 \n Download aborted.\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(ConsoleWindow, ProgressTextShowsPercentRateAndTimeLeft) {
    EXPECT_EQ(ConsoleWindow::ProgressText("Writing", "bytes", 0, 0, 0.0),
              "Writing   100%  0/0 bytes");
    EXPECT_EQ(ConsoleWindow::ProgressText("Writing", "bytes", 2048, 8192, 2.0),
              "Writing    25%  2048/8192 bytes  1.0 KB/s  0:06 left");
    EXPECT_EQ(ConsoleWindow::ProgressText("Erasing", "pages", 3, 3, 1.0),
              "Erasing   100%  3/3 pages  3.0 pages/s");
}

TEST_F(CliTest, ShowWritesOptionsIntoTheSettingsFileOfItsOwnFolder) {
    const std::string cli = Install();
    const auto empty = dir_ / "elsewhere";
    std::filesystem::create_directories(empty);
    const Child child = RunProgram({cli, "--show", "cp=COM3", "fe=n"}, empty.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    EXPECT_NE(child.out.find("port=COM3\n"), std::string::npos);
    EXPECT_NE(child.out.find("massErase=No\n"), std::string::npos);
    EXPECT_NE(child.out.find("partDb=present\n"), std::string::npos);
    std::ifstream ini(dir_ / "bin" / "talvex.ini");
    std::stringstream text;
    text << ini.rdbuf();
    EXPECT_NE(text.str().find("Port=COM3"), std::string::npos);
    EXPECT_NE(text.str().find("MassErase=No"), std::string::npos);
}

TEST_F(CliTest, FlashesAnImageAndPrintsEveryStatusLine) {
    const std::string cli = Install();
    auto& sim = StartSim({});
    const auto chunks = Records(0, 40, 16);
    WriteImage("my board.hex", HexText(chunks));
    const Child child = RunProgram(
        {cli, "af=" + image_, "cp=" + sim.DevicePath(), "cb=115200", "fe=n", "fp=y", "fv=y"},
        dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << child.err;
    const std::string expected = "    Connect test board to PC " + sim.DevicePath() +
                                 " at 115200 Baud.\n"
                                 "    Click Start.\n"
                                 "Ready @ 115200 baud n,8,1.\n"
                                 "    Press Download and pulse Reset on hardware.\n" +
                                 sim.IdentificationText() +
                                 " received.\n"
                                 "Erasing 2 pages of 512 bytes each.\n"
                                 "Downloading ... 640 bytes\n"
                                 "Verifying ... 640 bytes\n"
                                 "Flashing Complete.\n"
                                 "    Click Run to run program.\n";
    EXPECT_EQ(child.out, expected);
    EXPECT_EQ(child.err, "") << "no terminal, so no progress line";
    EXPECT_EQ(FlashRange(0, 16), chunks[0].bytes);
}

TEST_F(CliTest, FailureTextGoesToStderrAndTheCodeToTheExitStatus) {
    const std::string cli = Install();
    baud_ = "230400";
    auto& sim = StartSim({"--nak", "W@3"});
    WriteImage("board.hex", HexText(Records(0, 8, 16)));
    const Child child =
        RunProgram({cli, "af=" + image_, "cp=" + sim.DevicePath(), "cb=230400", "fe=n", "fv=n"},
                   dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 7);
    EXPECT_EQ(child.err, "Error at 0x20 - 0x30 \n Download aborted.\n");
    EXPECT_NE(child.out.find("Flash error.\n    Check setup and try downloading again.\n"),
              std::string::npos);
}

TEST_F(CliTest, InterruptClosesThePortAndExitsWith130) {
    const std::string cli = Install();
    auto& sim = StartSim({"--never-announce"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const auto started = std::chrono::steady_clock::now();
    const Child child = RunProgram({cli, "af=" + image_, "cp=" + sim.DevicePath(), "cb=9600"},
                                   dir_.string(), 700ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 130);
    // The device is free again: another program can take it at once.
    CSerialPort port;
    EXPECT_TRUE(port.Open(sim.DevicePath(), "9600"));
}

TEST_F(CliTest, MissingPartDatabaseEndsWithTwo) {
    const auto bin = dir_ / "bin";
    std::filesystem::create_directories(bin);
    std::filesystem::copy_file(TALVEX_BIN_DIR "/talvex-cli", bin / "talvex-cli");
    const Child child = RunProgram({(bin / "talvex-cli").string(), "cp=COM1"}, dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 2);
    EXPECT_NE(child.err.find("zelchip.ini"), std::string::npos);
}

TEST_F(CliTest, UnknownFlagIsAUsageError) {
    const std::string cli = Install();
    const Child child = RunProgram({cli, "--frobnicate"}, dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 64);
    EXPECT_NE(child.err.find("--frobnicate"), std::string::npos);
}

} // namespace
} // namespace talvex::testing
