// talvex-cli --report as a batch file runs it: where it finds the records,
// which flags it refuses, and the report of runs the program itself recorded.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli_fixture.h"

namespace talvex::testing {
namespace {

class ReportCliTest : public CliTest {
protected:
    void WriteFile(const std::filesystem::path& path, const std::string& text) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string RecordLine(const std::string& start, int code, int serial) {
        return R"({"start":")" + start + R"(","host":"st-1","port":"COM3","part":"ZaRQ4126",)" +
               R"("image":{"path":"/srv/a.hex","sha256":"ab"},"serial":{"number":)" +
               std::to_string(serial) + R"(,"bytes":"00"},"result":{"code":)" +
               std::to_string(code) + "}}\n";
    }
};

TEST_F(ReportCliTest, FlagsThatCannotGoTogetherAreUsageErrors) {
    const std::string cli = Install();
    const std::string records = (dir_ / "line.jsonl").string();
    WriteFile(records, RecordLine("2026-12-08T10:00:00.000Z", 0, 1));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--csv"}, "--since, --part and --csv go with --report"},
        {{"--since", "24h", "--record", records}, "--since, --part and --csv go with --report"},
        {{"--report", "--part="}, "--part needs a value"},
        {{"--report", "--record", records, "--show"}, "--report runs no board; leave out --show"},
        {{"--report", "--ports", "COM3,COM4", "--record", records},
         "--report runs no board; leave out --ports"},
        {{"--report", "--boards", "3", "--record", records},
         "--report runs no board; leave out --boards"},
        {{"--report", "--record", records, "line.ini", "cp=COM3"},
         "--report takes only a settings file after its flags, not \"cp=COM3\""},
        {{"--report", "--record", records, "--since", "5y"}, "--since takes a span"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {cli};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Child child = RunProgram(args, dir_.string());
        EXPECT_EQ(ExitCodeOf(child), 64) << c.message;
        EXPECT_EQ(child.out, "") << c.message;
        EXPECT_NE(child.err.find("talvex-cli: " + c.message), std::string::npos) << child.err;
        EXPECT_NE(child.err.find("(talvex-cli --help)"), std::string::npos) << child.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "line.ini")) << "the report writes no settings";
}

TEST_F(ReportCliTest, RecordsComeFromTheFlagElseFromLogFileBesideTheSettingsFile) {
    const std::string cli = Install();
    // A relative [Log] File lies beside the settings file, not in the folder
    // the program was started from.
    WriteFile(dir_ / "cfg" / "line.ini", "[Log]\nFile=records.jsonl\n");
    WriteFile(dir_ / "cfg" / "records.jsonl", RecordLine("2026-12-08T10:00:00.000Z", 7, 41) +
                                                  "{damaged\n" +
                                                  RecordLine("2026-12-08T11:00:00.000Z", 0, 42));
    WriteFile(dir_ / "other.jsonl", RecordLine("2026-12-08T10:00:00.000Z", 0, 9));
    WriteFile(dir_ / "empty.ini", "");

    const Child fromSettings = RunProgram({cli, "--report", "cfg/line.ini"}, dir_.string());
    EXPECT_EQ(ExitCodeOf(fromSettings), 0) << fromSettings.err;
    EXPECT_NE(fromSettings.out.find("2 boards (1 passed, 1 failed)"), std::string::npos)
        << fromSettings.out;
    EXPECT_NE(fromSettings.out.find("    41  2026-12-08T10:00:00.000Z"), std::string::npos)
        << fromSettings.out;
    EXPECT_NE(fromSettings.err.find("records.jsonl, line 2: not JSON (at character 2); left out."),
              std::string::npos)
        << fromSettings.err;

    const Child fromFlag =
        RunProgram({cli, "--report", "--record", (dir_ / "other.jsonl").string(), "cfg/line.ini"},
                   dir_.string());
    EXPECT_EQ(ExitCodeOf(fromFlag), 0) << fromFlag.err;
    EXPECT_NE(fromFlag.out.find("1 board (1 passed, 0 failed)"), std::string::npos) << fromFlag.out;

    const Child none = RunProgram({cli, "--report", "empty.ini"}, dir_.string());
    EXPECT_EQ(ExitCodeOf(none), 64);
    EXPECT_NE(none.err.find("--report needs the run records: give --record FILE, or set [Log] "
                            "File in empty.ini"),
              std::string::npos)
        << none.err;

    const Child missing = RunProgram({cli, "--report", "--record", "gone.jsonl"}, dir_.string());
    EXPECT_EQ(ExitCodeOf(missing), 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("talvex-cli: record file gone.jsonl cannot be read (No such file"),
              std::string::npos)
        << missing.err;
}

TEST_F(ReportCliTest, ReportsTheRunsTheProgramRecorded) {
    const std::string cli = Install();
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    const std::string records = (dir_ / "line.jsonl").string();
    const std::vector<std::string> nak = {"--nak", "W@2"};
    for (const auto& simArgs : {std::vector<std::string>{}, nak, std::vector<std::string>{}}) {
        auto& sim = StartSim(simArgs);
        const Child run =
            RunProgram({cli, "--record", records, "af=" + image_, "cp=" + sim.DevicePath(),
                        "cb=115200", "fe=n", "fp=y", "fv=y", "rr=n"},
                       dir_.string());
        sim.Stop();
        sim_.reset();
        ASSERT_EQ(ExitCodeOf(run), simArgs.empty() ? 0 : 7) << run.err;
    }
    const std::string sha =
        RunProgram({"/usr/bin/sha256sum", image_}, dir_.string()).out.substr(0, 64);
    ASSERT_EQ(sha.size(), 64u);

    const Child report =
        RunProgram({cli, "--report", "--since", "1h", "--csv", "--record", records}, dir_.string());
    ASSERT_EQ(ExitCodeOf(report), 0) << report.err;
    EXPECT_EQ(report.err, "");
    const std::string absoluteImage = std::filesystem::absolute(image_).string();
    EXPECT_NE(report.out.find("\nyield,ZaRQ4126," + absoluteImage + "," + sha + ",3,2,1,66.6\n"),
              std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("\ncode,7,write,1\n"), std::string::npos) << report.out;
}

} // namespace
} // namespace talvex::testing
