// Where the default settings file lies when the program folder cannot or
// must not take it, where the site defaults come from, and how the user's
// private copy is made.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "ini_file.h"
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

TEST(InstalledLayout, SiteFolderAndSystemPathFollowTheInstalledProgramFolder) {
    const struct {
        const char* dir;
        const char* installed;
        const char* site; // InstalledSiteFolder
        bool system;      // IsSystemPath
    } cases[] = {
        // The package, make install's default prefix, other prefixes.
        {"/usr/lib/talvex/", "lib/talvex", "/etc/talvex/", true},
        {"/usr/local/lib/talvex/", "lib/talvex", "/usr/local/etc/talvex/", true},
        {"/opt/talvex/lib/talvex/", "lib/talvex", "/opt/talvex/etc/talvex/", true},
        {"/tmp/t.1/prefix/lib/talvex/", "lib/talvex", "/tmp/t.1/prefix/etc/talvex/", true},
        {"/home/op/.local/lib/talvex/", "lib/talvex", "/home/op/.local/etc/talvex/", true},
        {"/lib/talvex/", "lib/talvex", "/etc/talvex/", true},
        // The name as written in the cache, and a folder named without '/'.
        {"/opt/x/lib/talvex", "./lib/talvex/", "/opt/x/etc/talvex/", true},
        // A build, a copied folder, and names that only look alike.
        {"/home/op/talvex/build/bin/", "lib/talvex", "", false},
        {"/srv/line3/talvex/", "lib/talvex", "", false},
        {"/home/op/mylib/talvex/", "lib/talvex", "", false},
        {"/home/op/lib/talvex2/", "lib/talvex", "", false},
        {"/home/op/lib/talvex/bin/", "lib/talvex", "", false},
        {"/usrx/lib/tools/", "lib/talvex", "", false},
        // Under /usr is no place of one's own, installed layout or not.
        {"/usr/share/tools/talvex/", "lib/talvex", "", true},
        {"/usr/", "lib/talvex", "", true},
        // An absolute program folder is that folder alone.
        {"/opt/talvex/", "/opt/talvex", "/etc/talvex/", true},
        {"/opt/talvex/", "/opt/talvex/", "/etc/talvex/", true},
        {"/opt/talvex/sub/", "/opt/talvex", "", false},
        {"/srv/opt/talvex/", "/opt/talvex", "", false},
        {"/usr/lib/talvex/", "/opt/talvex", "", true},
        {"", "lib/talvex", "", false},
        {"/usr/lib/talvex/", "", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " installed as " + c.installed);
        EXPECT_EQ(InstalledSiteFolder(c.dir, c.installed), c.site);
        EXPECT_EQ(IsSystemPath(c.dir, c.installed), c.system);
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
        services_.systemPath = [this](const std::string&) { return systemPath_; };
        services_.siteFile = [this](const std::string&) { return siteFile_; };
        services_.userFolder = user_.Dir() + "cfg/talvex/";
    }

    std::string Stem() { return DefaultSettingsStem(programDir_, services_); }
    std::string UserIni() const { return services_.userFolder + "talvex.ini"; }

    TempDir root_;
    TempDir user_;
    std::string programDir_ = root_.Dir() + "lib/talvex/";
    std::string siteFile_ = root_.Dir() + "etc/talvex/talvex.ini";
    bool programWritable_ = true;
    bool systemPath_ = false;
    std::vector<std::string> asked_;
    SettingsLocationServices services_;
};

TEST_F(DefaultSettingsStemTest, OnlyAWritableFolderOfOnesOwnKeepsTheFileBesideTheProgram) {
    const struct {
        bool writable;
        bool systemPath;
        bool besideProgram;
    } cases[] = {
        {true, false, true},   // a build, a copied folder
        {false, false, false}, // a protected copy
        {true, true, false},   // an installed folder as root sees it
        {false, true, false},  // an installed folder as a user sees it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "writable " << c.writable << ", system path " << c.systemPath);
        programWritable_ = c.writable;
        systemPath_ = c.systemPath;
        EXPECT_EQ(Stem(),
                  c.besideProgram ? programDir_ + "talvex" : services_.userFolder + "talvex");
        EXPECT_EQ(fs::exists(services_.userFolder), !c.besideProgram);
        fs::remove_all(user_.Dir() + "cfg");
    }
}

TEST_F(DefaultSettingsStemTest, AWritableProgramFolderKeepsItsOwnFileAndTouchesNothingElse) {
    EXPECT_EQ(Stem(), programDir_ + "talvex");
    EXPECT_EQ(asked_, std::vector<std::string>{programDir_});
    EXPECT_FALSE(fs::exists(user_.Dir() + "cfg"));
}

TEST_F(DefaultSettingsStemTest, TheUserFolderIsSeededFromTheSiteDefaultsNotTheProgramFolder) {
    programWritable_ = false;
    // What an older build left beside the program when root ran it.
    WriteBytes(programDir_ + "talvex.ini", "[Flash]\nKey0=DEADBEEF\n");
    fs::create_directories(root_.Dir() + "etc/talvex");
    WriteBytes(siteFile_, "; site defaults\r\n[Coms]\r\nPort=/dev/ttyUSB0\r\n");
    ::chmod(siteFile_.c_str(), 0444);
    EXPECT_EQ(Stem(), services_.userFolder + "talvex");
    EXPECT_EQ(ReadBytes(UserIni()), "; site defaults\r\n[Coms]\r\nPort=/dev/ttyUSB0\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(UserIni().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the user's copy takes options and the key";
    // Created for the user alone, and nothing but the copy is left there.
    ASSERT_EQ(::stat(services_.userFolder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(std::distance(fs::directory_iterator(services_.userFolder), fs::directory_iterator()),
              1);
}

TEST_F(DefaultSettingsStemTest, TheUsersOwnFileIsNeverReplacedBySeeding) {
    programWritable_ = false;
    fs::create_directories(root_.Dir() + "etc/talvex");
    WriteBytes(siteFile_, "[Coms]\nPort=COM1\n");
    fs::create_directories(services_.userFolder);
    WriteBytes(UserIni(), "[Coms]\nPort=COM7\n");
    EXPECT_EQ(Stem(), services_.userFolder + "talvex");
    EXPECT_EQ(ReadBytes(UserIni()), "[Coms]\nPort=COM7\n");
}

TEST_F(DefaultSettingsStemTest, WithoutSiteDefaultsTheUserFolderIsMadeButLeftEmpty) {
    programWritable_ = false;
    for (const std::string& site : {siteFile_, std::string()}) {
        SCOPED_TRACE("site file '" + site + "'");
        siteFile_ = site;
        EXPECT_EQ(Stem(), services_.userFolder + "talvex");
        EXPECT_TRUE(fs::is_directory(services_.userFolder));
        EXPECT_FALSE(fs::exists(UserIni()));
    }
}

TEST_F(DefaultSettingsStemTest, NoUsableUserFolderNeverPutsAWritableSystemFolderInUse) {
    const std::string beside = programDir_ + "talvex";
    const std::string inUserFolder = services_.userFolder + "talvex";
    const struct {
        const char* what;
        bool writable;
        bool systemPath;
        bool userFolderNamed;
        bool folderMade;
        std::string stem;
    } cases[] = {
        // Nothing can be written there; its values are at least read.
        {"protected, no home", false, false, false, false, beside},
        {"protected, folder not made", false, true, true, false, beside},
        // Root in an installed folder: the options fail in the user folder
        // and say so, rather than land beside the program.
        {"writable system path, folder not made", true, true, true, false, inUserFolder},
        // Without any home at all there is nowhere else to name.
        {"writable system path, no home", true, true, false, false, beside},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        programWritable_ = c.writable;
        systemPath_ = c.systemPath;
        SettingsLocationServices services = services_;
        if (!c.userFolderNamed) services.userFolder.clear();
        services.makeFolder = [&c](const std::string&) { return c.folderMade; };
        EXPECT_EQ(DefaultSettingsStem(programDir_, services), c.stem);
    }

    // A file where the folder should be.
    programWritable_ = false;
    WriteBytes(user_.Dir() + "cfg", "not a folder");
    EXPECT_EQ(Stem(), beside);
}

// The real rules on real folders: an installed layout as a temporary prefix
// shows it, a build folder beside it does not.
class InstalledFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string configured = ConfiguredProgramFolder();
        if (configured.empty() || configured.front() == '/') {
            GTEST_SKIP() << "the build installs to " << configured << ", not into a prefix";
        }
        fs::create_directories(installed_);
        fs::create_directories(build_);
        fs::create_directories(prefix_ + "etc/talvex");
    }

    std::set<std::string> Listing(const std::string& folder) const {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            names.insert(entry.path().string());
        }
        return names;
    }

    TempDir root_;
    TempDir home_;
    // As the program sees its folder: with every link resolved.
    std::string prefix_ = fs::canonical(root_.Dir()).string() + "/prefix/";
    std::string installed_ = prefix_ + ConfiguredProgramFolder() + "/";
    std::string build_ = root_.Dir() + "build/bin/";
};

TEST_F(InstalledFolderTest, AnInstalledLayoutIsASystemPathWithItsSiteFileInThePrefix) {
    EXPECT_TRUE(SystemPath(installed_));
    EXPECT_TRUE(SystemProgramFolder(installed_)) << "even where this process may write";
    EXPECT_EQ(SiteSettingsFile(installed_), prefix_ + "etc/talvex/talvex.ini");

    EXPECT_FALSE(SystemPath(build_));
    EXPECT_FALSE(SystemProgramFolder(build_));
    EXPECT_EQ(SiteSettingsFile(build_), build_ + "talvex.ini");

    // A link to the installed folder is the installed folder.
    fs::create_directory_symlink(installed_, root_.Dir() + "shortcut");
    EXPECT_TRUE(SystemPath(root_.Dir() + "shortcut/"));
}

TEST_F(InstalledFolderTest, AWritableInstalledFolderIsLeftAloneAndTheSiteFileSeedsTheUser) {
    WriteBytes(installed_ + "zelchip.ini", "[ZaRQ4126]\n");
    WriteBytes(prefix_ + "etc/talvex/talvex.ini", "[Coms]\nPort=COM7\n");
    const std::set<std::string> before = Listing(installed_);

    SettingsLocationServices services = SystemSettingsLocation();
    services.userFolder = home_.Dir() + ".config/talvex/";
    const std::string stem = DefaultSettingsStem(installed_, services);
    ASSERT_EQ(stem, services.userFolder + "talvex");
    ASSERT_TRUE(ini::WriteText(stem + ".ini", "Flash", "Key0", "DEADBEEF"));

    EXPECT_EQ(Listing(installed_), before);
    EXPECT_EQ(ini::ReadText(stem + ".ini", "Coms", "Port", "", 64), "COM7");
    EXPECT_EQ(ini::ReadText(stem + ".ini", "Flash", "Key0", "", 64), "DEADBEEF");
    EXPECT_EQ(ReadBytes(prefix_ + "etc/talvex/talvex.ini"), "[Coms]\nPort=COM7\n");
}

// Both ways a user's settings file comes into being give it to the user
// alone, whatever the umask would let others have.
TEST(PrivateSettingsFiles, NewFilesAreTheOwnersAloneUnderAnyUmask) {
    for (const mode_t mask : {0000u, 0002u, 0022u, 0077u}) {
        SCOPED_TRACE(::testing::Message() << "umask " << std::oct << mask);
        TempDir dir;
        WriteBytes(dir.File("site.ini"), "[Coms]\nPort=COM7\n");
        ::chmod(dir.File("site.ini").c_str(), 0644);
        const mode_t saved = ::umask(mask);
        const bool seeded = SeedSettingsFile(dir.File("site.ini"), dir.File("seeded.ini"));
        const bool written = ini::WriteText(dir.File("new.ini"), "Flash", "Key0", "DEADBEEF");
        ::umask(saved);
        ASSERT_TRUE(seeded);
        ASSERT_TRUE(written);
        for (const char* name : {"seeded.ini", "new.ini"}) {
            struct stat info {};
            ASSERT_EQ(::stat(dir.File(name).c_str(), &info), 0) << name;
            EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
        }
    }
}

TEST(PrivateSettingsFiles, AnExistingFileKeepsTheModeItsOwnerGaveIt) {
    TempDir dir;
    const std::string path = dir.File("shared.ini");
    WriteBytes(path, "[Coms]\nPort=COM1\n");
    ::chmod(path.c_str(), 0664);
    ASSERT_TRUE(ini::WriteText(path, "Coms", "Port", "COM2"));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0664u);
}

TEST(PrivateSettingsFiles, NeverWritesThroughWhatIsAlreadyThere) {
    TempDir dir;
    WriteBytes(dir.File("existing"), "theirs");
    fs::create_symlink(dir.File("target"), dir.File("link"));
    for (const char* name : {"existing", "link"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(WritePrivateFile(dir.File(name), "[Flash]\nKey0=DEADBEEF\n"));
    }
    EXPECT_EQ(ReadBytes(dir.File("existing")), "theirs");
    EXPECT_FALSE(fs::exists(dir.File("target"))) << "a planted link must not create its target";

    ASSERT_TRUE(WritePrivateFile(dir.File("fresh"), "[Flash]\nKey0=DEADBEEF\n"));
    EXPECT_EQ(ReadBytes(dir.File("fresh")), "[Flash]\nKey0=DEADBEEF\n");
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
