// Where the default settings file lies when the program folder cannot take
// it, and how the user's copy is seeded.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "settings_location.h"
#include "startup.h"
#include "temp_dir.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

EnvLookup Env(std::map<std::string, std::string> values) {
    return [values](const char* name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) return std::nullopt;
        return found->second;
    };
}

TEST(UserSettingsFolder, FollowsXdgConfigHomeThenHome) {
    const struct {
        std::map<std::string, std::string> env;
        const char* folder;
    } cases[] = {
        {{{"XDG_CONFIG_HOME", "/srv/cfg"}, {"HOME", "/home/op"}}, "/srv/cfg/talvex/"},
        {{{"XDG_CONFIG_HOME", "/srv/cfg/"}, {"HOME", "/home/op"}}, "/srv/cfg/talvex/"},
        {{{"HOME", "/home/op"}}, "/home/op/.config/talvex/"},
        {{{"HOME", "/home/op/"}}, "/home/op/.config/talvex/"},
        // A relative or empty XDG_CONFIG_HOME is to be ignored.
        {{{"XDG_CONFIG_HOME", "cfg"}, {"HOME", "/home/op"}}, "/home/op/.config/talvex/"},
        {{{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/op"}}, "/home/op/.config/talvex/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UserSettingsFolder(Env(c.env)), c.folder);
    }
}

class DefaultSettingsStemTest : public ::testing::Test {
protected:
    DefaultSettingsStemTest() {
        fs::create_directories(programDir_);
        services_.writable = [this](const std::string& folder) {
            asked_.push_back(folder);
            return programWritable_;
        };
        services_.userFolder = user_.Dir() + "cfg/talvex/";
    }

    std::string Stem() { return DefaultSettingsStem(programDir_, services_); }
    std::string UserIni() const { return services_.userFolder + "talvex.ini"; }

    TempDir root_;
    TempDir user_;
    std::string programDir_ = root_.Dir() + "lib/talvex/";
    bool programWritable_ = true;
    std::vector<std::string> asked_;
    SettingsLocationServices services_;
};

TEST_F(DefaultSettingsStemTest, AWritableProgramFolderKeepsItsOwnFileAndTouchesNothingElse) {
    EXPECT_EQ(Stem(), programDir_ + "talvex");
    EXPECT_EQ(asked_, std::vector<std::string>{programDir_});
    EXPECT_FALSE(fs::exists(user_.Dir() + "cfg"));
}

TEST_F(DefaultSettingsStemTest, AProtectedProgramFolderMovesToTheUserFolderSeededFromItsFile) {
    programWritable_ = false;
    WriteBytes(programDir_ + "talvex.ini", "; site defaults\r\n[Coms]\r\nPort=/dev/ttyUSB0\r\n");
    ::chmod((programDir_ + "talvex.ini").c_str(), 0444);
    EXPECT_EQ(Stem(), services_.userFolder + "talvex");
    EXPECT_EQ(ReadBytes(UserIni()), "; site defaults\r\n[Coms]\r\nPort=/dev/ttyUSB0\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(UserIni().c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IWUSR) << "the user's copy must take options";
    // Created for the user alone, and nothing but the copy is left there.
    ASSERT_EQ(::stat(services_.userFolder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(std::distance(fs::directory_iterator(services_.userFolder), fs::directory_iterator()),
              1);
}

TEST_F(DefaultSettingsStemTest, TheUsersOwnFileIsNeverReplacedBySeeding) {
    programWritable_ = false;
    WriteBytes(programDir_ + "talvex.ini", "[Coms]\nPort=COM1\n");
    fs::create_directories(services_.userFolder);
    WriteBytes(UserIni(), "[Coms]\nPort=COM7\n");
    EXPECT_EQ(Stem(), services_.userFolder + "talvex");
    EXPECT_EQ(ReadBytes(UserIni()), "[Coms]\nPort=COM7\n");
}

TEST_F(DefaultSettingsStemTest, WithoutAFileToSeedTheUserFolderIsMadeButLeftEmpty) {
    programWritable_ = false;
    EXPECT_EQ(Stem(), services_.userFolder + "talvex");
    EXPECT_TRUE(fs::is_directory(services_.userFolder));
    EXPECT_FALSE(fs::exists(UserIni()));
}

TEST_F(DefaultSettingsStemTest, NoUsableUserFolderKeepsTheProgramFolderSoItsValuesAreStillRead) {
    programWritable_ = false;
    services_.userFolder.clear();
    EXPECT_EQ(Stem(), programDir_ + "talvex");

    services_.userFolder = user_.Dir() + "cfg/talvex/";
    services_.makeFolder = [](const std::string&) { return false; };
    EXPECT_EQ(Stem(), programDir_ + "talvex");

    // A file where the folder should be.
    services_.makeFolder = MakeUserFolder;
    WriteBytes(user_.Dir() + "cfg", "not a folder");
    EXPECT_EQ(Stem(), programDir_ + "talvex");
}

TEST(SeedSettingsFile, TwoStartsAtOnceLeaveOneWholeCopyAndNoTemporaryFiles) {
    TempDir dir;
    const std::string a = dir.File("a.ini");
    const std::string b = dir.File("b.ini");
    WriteBytes(a, "[Coms]\nPort=" + std::string(50000, 'A') + "\n");
    WriteBytes(b, "[Coms]\nPort=" + std::string(50000, 'B') + "\n");
    fs::create_directories(dir.File("user"));
    const std::string to = dir.File("user/talvex.ini");
    for (int round = 0; round < 20; ++round) {
        fs::remove(to);
        bool seededA = false;
        bool seededB = false;
        std::thread first([&] { seededA = SeedSettingsFile(a, to); });
        std::thread second([&] { seededB = SeedSettingsFile(b, to); });
        first.join();
        second.join();
        EXPECT_TRUE(seededA);
        EXPECT_TRUE(seededB);
        const std::string text = ReadBytes(to);
        EXPECT_TRUE(text == ReadBytes(a) || text == ReadBytes(b)) << "round " << round;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("user")), fs::directory_iterator()),
                  1);
    }
}

TEST(SeedSettingsFile, RefusesWhatIsNoSettingsFile) {
    TempDir dir;
    fs::create_directories(dir.File("folder.ini"));
    WriteBytes(dir.File("huge.ini"), std::string(2 * 1024 * 1024, ';'));
    for (const std::string& from :
         {dir.File("missing.ini"), dir.File("folder.ini"), dir.File("huge.ini")}) {
        SCOPED_TRACE(from);
        EXPECT_FALSE(SeedSettingsFile(from, dir.File("to.ini")));
        EXPECT_FALSE(fs::exists(dir.File("to.ini")));
    }
}

TEST(MakeUserFolder, CreatesEveryMissingLevelPrivately) {
    TempDir dir;
    const std::string folder = dir.Dir() + "home/.config/talvex/";
    ASSERT_TRUE(MakeUserFolder(folder));
    for (const std::string& level : {dir.Dir() + "home", dir.Dir() + "home/.config", folder}) {
        struct stat info {};
        ASSERT_EQ(::stat(level.c_str(), &info), 0) << level;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
    }
    EXPECT_TRUE(MakeUserFolder(folder)) << "an existing folder is fine";
    EXPECT_FALSE(FolderWritable(dir.Dir() + "missing/"));
    EXPECT_TRUE(FolderWritable(folder));
}

TEST(SettingsOrigin, NamesTheRuleThatChoseTheFile) {
    EXPECT_EQ(
        SettingsOrigin("/usr/lib/talvex/", "/usr/lib/talvex/talvex", "/home/op/.config/talvex/"),
        "programDir");
    EXPECT_EQ(SettingsOrigin("/usr/lib/talvex/", "/home/op/.config/talvex/talvex",
                             "/home/op/.config/talvex/"),
              "userFolder");
    EXPECT_EQ(SettingsOrigin("/usr/lib/talvex/", "myset", "/home/op/.config/talvex/"),
              "commandLine");
    EXPECT_EQ(SettingsOrigin("/usr/lib/talvex/", "/home/op/.config/talvex/talvex", ""),
              "commandLine");
}

TEST(StartupSettingsLocation, ANamedFileAndAWritableProgramFolderAreUsedAsTheyAre) {
    TempDir dir;
    StartupResult quoted = RunStartup(dir.Dir(), "\"" + dir.Dir() + "station 3.ini\" cp=COM4");
    EXPECT_EQ(quoted.settings.settingsPath, dir.Dir() + "station 3.ini");
    EXPECT_TRUE(fs::exists(dir.Dir() + "station 3.ini"));
    StartupResult plain = RunStartup(dir.Dir(), "cp=COM4");
    EXPECT_EQ(plain.settings.settingsPath, dir.Dir() + "talvex.ini");
    EXPECT_TRUE(fs::exists(dir.Dir() + "talvex.ini"));
}

} // namespace
} // namespace talvex
