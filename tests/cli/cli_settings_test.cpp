// talvex-cli when the settings file or the part database cannot be used as
// they are: the options still apply to the run, stderr says why the file did
// not take them, and files that are not plain, small files are refused.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "cli_fixture.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class CliSettingsTest : public CliTest {
protected:
    std::filesystem::path Bin() const { return dir_ / "bin"; }
    std::string SettingsPath() const { return (Bin() / "talvex.ini").string(); }

    static std::string NotStored(const std::string& option, const std::string& path,
                                 const std::string& reason) {
        return "talvex-cli: " + option + " not stored in " + path + " (" + reason +
               "); it applies to this run only.\n";
    }
};

TEST_F(CliSettingsTest, OptionsRefusedByAReadOnlySettingsFileStillDriveTheRun) {
    const std::string cli = Install();
    auto& sim = StartSim({});
    const auto chunks = Records(0, 8, 16);
    WriteImage("board.hex", HexText(chunks));
    const std::string before =
        "[TalVex]\nFile=" + image_ + "\n[Coms]\nPort=COM5\nBaud=9600\n[Flash]\nMassErase=No\n";
    std::ofstream(SettingsPath(), std::ios::binary) << before;
    ASSERT_EQ(chmod(SettingsPath().c_str(), 0444), 0);

    const Child child =
        RunProgram({cli, "af=" + image_, "cp=" + sim.DevicePath(), "cb=115200", "fe=n", "fv=y"},
                   dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << child.err;
    // The file already holds af= and fe=n: only what it lacks is reported.
    EXPECT_EQ(child.err, NotStored("cp=" + sim.DevicePath(), SettingsPath(), "read-only file") +
                             NotStored("cb=115200", SettingsPath(), "read-only file") +
                             NotStored("fv=y", SettingsPath(), "read-only file"));
    EXPECT_EQ(child.out.substr(0, child.out.find('\n') + 1),
              "    Connect test board to PC " + sim.DevicePath() + " at 115200 Baud.\n");
    EXPECT_NE(child.out.find("Verifying ... 128 bytes\n"), std::string::npos);
    EXPECT_EQ(FlashRange(0, 16), chunks[0].bytes);
    EXPECT_EQ(ReadFile(SettingsPath()), before);
}

TEST_F(CliSettingsTest, ShowGivesTheAppliedValuesWhenTheFolderIsReadOnly) {
    const std::string cli = Install();
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));
    ASSERT_EQ(chmod(Bin().c_str(), 0555), 0);
    // Root writes into any folder; the folder's mode only stops other users.
    RunOptions options;
    if (geteuid() == 0) options.uid = 65534;
    const Child child =
        RunProgram({cli, "--show", "cp=COM9", "cb=115200", "rf=1", "fm=0x0000000000000011"},
                   dir_.string(), options);
    ASSERT_TRUE(WIFEXITED(child.status));
    ASSERT_EQ(WEXITSTATUS(child.status), 0) << child.err;
    for (const char* line : {"port=COM9\n", "baud=115200\n", "runMode=1\n",
                             "mask=0x0000000000000011\n", "program=Yes\n"}) {
        EXPECT_NE(child.out.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(child.err,
              NotStored("cp=COM9", SettingsPath(), "read-only folder") +
                  NotStored("cb=115200", SettingsPath(), "read-only folder") +
                  NotStored("rf=1", SettingsPath(), "read-only folder") +
                  NotStored("fm=0x0000000000000011", SettingsPath(), "read-only folder"));
    EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
    chmod(Bin().c_str(), 0755);
}

struct RefusedSettings {
    const char* what;
    const char* reason;
    void (*make)(const std::string& path);
};

TEST_F(CliSettingsTest, RefusedSettingsFilesAreNeitherReadNorReplaced) {
    const std::string cli = Install();
    const RefusedSettings cases[] = {
        {"2 MB file", "larger than 1 MB: 2097152 bytes",
         [](const std::string& path) {
             std::ofstream(path, std::ios::binary)
                 << "[Coms]\nPort=COM5\n" + std::string(2 * 1024 * 1024 - 17, ';');
         }},
        {"link to /dev/zero", "not a regular file but a device",
         [](const std::string& path) { std::filesystem::create_symlink("/dev/zero", path); }},
        {"FIFO", "not a regular file but a FIFO",
         [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }},
    };
    for (const RefusedSettings& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(SettingsPath());
        c.make(SettingsPath());
        const auto sizeBefore = std::filesystem::is_regular_file(SettingsPath())
                                    ? std::filesystem::file_size(SettingsPath())
                                    : 0;
        RunOptions options;
        options.killAfter = 10s;
        const auto started = std::chrono::steady_clock::now();
        const Child child = RunProgram({cli, "--show", "cp=COM9"}, dir_.string(), options);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        ASSERT_TRUE(WIFEXITED(child.status));
        EXPECT_EQ(WEXITSTATUS(child.status), 0);
        EXPECT_EQ(child.err, "talvex-cli: settings file " + SettingsPath() + " not read (" +
                                 c.reason +
                                 "); the defaults apply, and the file is left as it is.\n" +
                                 NotStored("cp=COM9", SettingsPath(), c.reason));
        EXPECT_NE(child.out.find("port=COM9\n"), std::string::npos);
        EXPECT_NE(child.out.find("baud=9600\n"), std::string::npos) << "the default, unread";
        EXPECT_EQ(std::filesystem::is_regular_file(SettingsPath())
                      ? std::filesystem::file_size(SettingsPath())
                      : 0,
                  sizeBefore);
        EXPECT_EQ(std::filesystem::is_symlink(SettingsPath()),
                  std::string(c.what) == "link to /dev/zero");
        // Nothing was written beside it either.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Bin()),
                                std::filesystem::directory_iterator()),
                  3);
    }
}

TEST_F(CliSettingsTest, ATooLargePartDatabaseCountsAsMissing) {
    const std::string cli = Install();
    {
        std::ofstream db(Bin() / "zelchip.ini", std::ios::app | std::ios::binary);
        db << std::string(2 * 1024 * 1024, ';');
    }
    const auto size = std::filesystem::file_size(Bin() / "zelchip.ini");
    const Child child = RunProgram({cli, "cp=COM1"}, dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 2);
    EXPECT_EQ(child.err, "Configuration file \"" + (Bin() / "zelchip.ini").string() +
                             "\" can not be used (larger than 1 MB: " + std::to_string(size) +
                             " bytes).\n\nPlease re-install TALVEX to fix this problem.\n");
    EXPECT_EQ(child.out, "") << "no frame, no status line";
}

TEST_F(CliSettingsTest, MassEraseSaysOnceThatProgramAndVerifyAreSkipped) {
    const std::string cli = Install();
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    // A fresh target for every run: it identifies itself once after a reset.
    auto run = [&](std::vector<std::string> extra) {
        if (sim_) sim_->Stop();
        auto& sim = StartSim({});
        std::vector<std::string> args = {cli, "af=" + image_, "cp=" + sim.DevicePath(), "cb=115200",
                                         "fe=y"};
        args.insert(args.end(), extra.begin(), extra.end());
        RunOptions options;
        options.killAfter = 20s;
        return RunProgram(args, dir_.string(), options);
    };
    Child child = run({"fp=y", "fv=y", "fh=n"});
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << child.err;
    EXPECT_EQ(child.err,
              "talvex-cli: fe=y: only the mass erase is done; fp=y and fv=y are not carried out "
              "in this run (run again with fe=n for them).\n");
    EXPECT_NE(child.out.find("Mass Erasing \nDone. Cycle board power.\n"), std::string::npos)
        << child.out;
    EXPECT_TRUE(Frames('W').empty());
    EXPECT_EQ(Frames('E').size(), 1u);

    // Program is on by default: fe=y alone still names it.
    child = run({"fv=n"});
    EXPECT_EQ(child.err,
              "talvex-cli: fe=y: only the mass erase is done; fp=y is not carried out in this run "
              "(run again with fe=n for it).\n");

    child = run({"fp=n", "fv=n", "fh=y"});
    EXPECT_EQ(child.err,
              "talvex-cli: fe=y: only the mass erase is done; fh=y is not carried out in this run "
              "(run again with fe=n for it).\n");

    child = run({"fp=n", "fv=n", "fh=n"});
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    EXPECT_EQ(child.err, "") << "nothing skipped, nothing said";
}

} // namespace
} // namespace talvex::testing
