// F1 and the Help page's Browse buttons, with a launcher that records what
// would have been started.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "help_launcher.h"
#include "ini_file.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using testing::TempDir;

class RecordingLauncher final : public IProcessLauncher {
public:
    struct Call {
        std::string how; // "start" or "desktop"
        std::string program;
        std::string argument;
        bool operator==(const Call&) const = default;
    };

    bool Start(const std::string& program, const std::string& argument) override {
        calls.push_back({"start", program, argument});
        return startable.count(program) != 0;
    }
    bool OpenWithDesktop(const std::string& document) override {
        calls.push_back({"desktop", "", document});
        return desktopWorks;
    }

    std::vector<Call> calls;
    bool desktopWorks = true;
    std::set<std::string> startable{"xdg-open"};
};

void PrintTo(const RecordingLauncher::Call& call, std::ostream* os) {
    *os << call.how << "(" << call.program << ", \"" << call.argument << "\")";
}

Settings InDir(const TempDir& dir) {
    Settings s;
    s.programDir = dir.Dir();
    s.settingsStem = dir.Dir() + "talvex";
    s.settingsPath = s.settingsStem + ".ini";
    return s;
}

TEST(ShowHelpPage, WithoutHelpSettingsOpensThePageOfTheProgramFolderWithTheDesktopOpener) {
    TempDir dir;
    const Settings s = InDir(dir);
    RecordingLauncher launcher;
    EXPECT_TRUE(ShowHelpPage(s, kMainHelpPage, launcher));
    EXPECT_TRUE(ShowHelpPage(s, kSheetHelpPage, launcher));
    const std::vector<RecordingLauncher::Call> expected = {
        {"start", "xdg-open", dir.Dir() + "QV_P.html"},
        {"start", "xdg-open", dir.Dir() + "QVC_B.html"},
    };
    EXPECT_EQ(launcher.calls, expected);
}

TEST(ShowHelpPage, PassesAFolderWithBlanksAsOneArgumentToTheConfiguredBrowser) {
    TempDir dir;
    const Settings s = InDir(dir);
    ini::WriteText(s.settingsPath, "Help", "Browser", "/opt/my tools/bin/browser");
    ini::WriteText(s.settingsPath, "help", "url", "/srv/TALVEX help pages");
    RecordingLauncher launcher;
    launcher.startable.insert("/opt/my tools/bin/browser");
    EXPECT_TRUE(ShowHelpPage(s, kSheetHelpPage, launcher));
    const std::vector<RecordingLauncher::Call> expected = {
        {"start", "/opt/my tools/bin/browser", "/srv/TALVEX help pages/QVC_B.html"},
    };
    EXPECT_EQ(launcher.calls, expected);
}

TEST(ShowHelpPage, ABrowserThatCannotStartHandsThePageToTheDesktop) {
    // A settings file written on Windows names a browser this system lacks,
    // and an empty setting names none at all.
    for (const std::string& browser :
         {std::string("c:\\Program Files\\Internet Explorer\\iexplore.exe"), std::string()}) {
        SCOPED_TRACE(browser);
        TempDir dir;
        const Settings s = InDir(dir);
        ini::WriteText(s.settingsPath, "Help", "Browser", browser);
        ini::WriteText(s.settingsPath, "Help", "Url", "/usr/lib/talvex");
        RecordingLauncher launcher;
        EXPECT_TRUE(ShowHelpPage(s, kMainHelpPage, launcher));
        const std::vector<RecordingLauncher::Call> expected = {
            {"start", browser, "/usr/lib/talvex/QV_P.html"},
            {"desktop", "", "/usr/lib/talvex/QV_P.html"},
        };
        EXPECT_EQ(launcher.calls, expected);
    }
}

TEST(OpenHelpPage, TellsWhichProgramTookThePageAndSaysSoWhenItWasNotTheBrowser) {
    struct Case {
        const char* name;
        bool browserStarts;
        bool desktopWorks;
        HelpOpener opener;
        const char* line; // with BROWSER and PAGE for the paths
    };
    const Case cases[] = {
        {"browser", true, true, HelpOpener::Browser, ""},
        {"desktop", false, true, HelpOpener::Desktop,
         "Help: the browser BROWSER could not be started; opened PAGE with the default browser."},
        {"nothing", false, false, HelpOpener::Nothing,
         "Help: neither the browser BROWSER nor the default browser could open PAGE."},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const Settings s = InDir(dir);
        const std::string browser = dir.Dir() + "tools/viewer";
        ini::WriteText(s.settingsPath, "Help", "Browser", browser);
        RecordingLauncher launcher;
        if (c.browserStarts) launcher.startable.insert(browser);
        launcher.desktopWorks = c.desktopWorks;
        const HelpOpening opening = OpenHelpPage(s, kMainHelpPage, launcher);
        EXPECT_EQ(opening.opener, c.opener) << c.name;
        EXPECT_EQ(opening.browser, browser) << c.name;
        EXPECT_EQ(opening.page, HelpPagePath(dir.Dir(), kMainHelpPage)) << c.name;
        std::string line = c.line;
        if (const auto at = line.find("BROWSER"); at != std::string::npos) {
            line.replace(at, 7, browser);
        }
        if (const auto at = line.find("PAGE"); at != std::string::npos) {
            line.replace(at, 4, opening.page);
        }
        EXPECT_EQ(HelpOpeningLine(opening), line) << c.name;
    }
}

TEST(ShowHelpPage, ReadsTheSettingsFileAfreshAtEachRequest) {
    TempDir dir;
    const Settings s = InDir(dir);
    RecordingLauncher launcher;
    launcher.startable.insert("/usr/bin/firefox-esr");
    ShowHelpPage(s, kMainHelpPage, launcher);
    // Another program (or the Help page's Browse) changes the file between
    // two presses of F1; nothing in memory is told.
    ini::WriteText(s.settingsPath, "Help", "Browser", "/usr/bin/firefox-esr");
    ShowHelpPage(s, kMainHelpPage, launcher);
    ini::WriteText(s.settingsPath, "Help", "Url", dir.Dir() + "other");
    ShowHelpPage(s, kMainHelpPage, launcher);
    const std::vector<RecordingLauncher::Call> expected = {
        {"start", "xdg-open", dir.Dir() + "QV_P.html"},
        {"start", "/usr/bin/firefox-esr", dir.Dir() + "QV_P.html"},
        {"start", "/usr/bin/firefox-esr", dir.Dir() + "other/QV_P.html"},
    };
    EXPECT_EQ(launcher.calls, expected);
}

TEST(HelpPagePath, JoinsFolderAndPageWithOneSeparator) {
    const struct {
        const char* folder;
        const char* path;
    } cases[] = {
        {"/usr/lib/talvex/", "/usr/lib/talvex/QV_P.html"},
        {"/usr/lib/talvex", "/usr/lib/talvex/QV_P.html"},
        {"", "/QV_P.html"}, // the folder of a help file chosen in "/"
        {"help", "help/QV_P.html"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HelpPagePath(c.folder, kMainHelpPage), c.path) << c.folder;
    }
}

TEST(HelpBrowse, BrowserDialogStartsInTheFolderOfTheCurrentBrowser) {
    const struct {
        const char* browser;
        const char* folder;
        const char* name;
    } cases[] = {
        {"/usr/bin/firefox-esr", "/usr/bin/", "firefox-esr"},
        {"/opt/my browser/run", "/opt/my browser/", "run"},
        {"xdg-open", "", "xdg-open"},
        {"/chromium", "/", "chromium"},
        {"/opt/browsers/", "/opt/browsers/", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.browser);
        const HelpBrowseRequest request = BrowserBrowseRequest(c.browser);
        EXPECT_EQ(request.title, "Select Browser");
        EXPECT_EQ(request.folder, c.folder);
        EXPECT_EQ(request.proposedName, c.name);
        ASSERT_FALSE(request.filters.empty());
        EXPECT_EQ(request.filters.front().pattern, "*") << "programs carry no extension here";
    }
    const HelpBrowseRequest help = HelpFileBrowseRequest("/usr/lib/talvex");
    EXPECT_EQ(help.title, "Select Help File");
    EXPECT_EQ(help.folder, "/usr/lib/talvex");
    EXPECT_EQ(help.proposedName, "QV_P.html");
    ASSERT_EQ(help.filters.size(), 2u);
    EXPECT_EQ(help.filters[0].pattern, "*.html");
}

TEST(HelpBrowse, ChosenHelpFileStoresItsFolderAtOnceAndTheNextF1UsesIt) {
    TempDir dir;
    const Settings s = InDir(dir);
    std::string folder = s.programDir;
    ASSERT_TRUE(
        TakeChosenHelpFile("/docs/my help/QV_P.html", folder, StoreInSettingsFile(s.settingsPath)));
    EXPECT_EQ(folder, "/docs/my help");
    // Stored before any OK: a cancelled sheet keeps it.
    EXPECT_EQ(ReadHelpFolder(s), "/docs/my help");
    RecordingLauncher launcher;
    ShowHelpPage(s, kSheetHelpPage, launcher);
    ASSERT_EQ(launcher.calls.size(), 1u);
    EXPECT_EQ(launcher.calls[0].argument, "/docs/my help/QVC_B.html");

    ASSERT_TRUE(TakeChosenHelpFile("/QV_P.html", folder, StoreInSettingsFile(s.settingsPath)));
    EXPECT_EQ(folder, "");
    ShowHelpPage(s, kSheetHelpPage, launcher);
    EXPECT_EQ(launcher.calls.back().argument, "/QVC_B.html");
}

TEST(HelpBrowse, ChosenBrowserIsStoredAtOnceAndTheNextF1UsesIt) {
    TempDir dir;
    const Settings s = InDir(dir);
    std::string browser = ReadHelpBrowser(s);
    ASSERT_TRUE(
        TakeChosenBrowser("/usr/bin/chromium", browser, StoreInSettingsFile(s.settingsPath)));
    EXPECT_EQ(browser, "/usr/bin/chromium");
    RecordingLauncher launcher;
    launcher.startable.insert("/usr/bin/chromium");
    ShowHelpPage(s, kMainHelpPage, launcher);
    ASSERT_EQ(launcher.calls.size(), 1u);
    EXPECT_EQ(launcher.calls[0].program, "/usr/bin/chromium");
}

TEST(HelpBrowse, CancelledDialogChangesNeitherMemberNorFile) {
    TempDir dir;
    const Settings s = InDir(dir);
    std::vector<std::string> stored;
    const StoreSetting record = [&](const std::string& section, const std::string& key,
                                    const std::string& value) {
        stored.push_back(section + "/" + key + "=" + value);
    };
    std::string browser = "/usr/bin/firefox-esr";
    std::string folder = "/usr/lib/talvex";
    EXPECT_FALSE(TakeChosenBrowser("", browser, record));
    EXPECT_FALSE(TakeChosenHelpFile("", folder, record));
    EXPECT_EQ(browser, "/usr/bin/firefox-esr");
    EXPECT_EQ(folder, "/usr/lib/talvex");
    EXPECT_TRUE(stored.empty());

    EXPECT_TRUE(TakeChosenBrowser("/usr/bin/epiphany", browser, record));
    EXPECT_TRUE(TakeChosenHelpFile("/srv/help/index.html", folder, record));
    EXPECT_EQ(stored,
              (std::vector<std::string>{"Help/Browser=/usr/bin/epiphany", "Help/Url=/srv/help"}));
}

TEST(QuoteCommandLineArgument, KeepsAWindowsPathOneArgument) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"C:\\My Help\\QV_P.html", "\"C:\\My Help\\QV_P.html\""},
        {"C:\\Tools\\\\QV_P.html", "\"C:\\Tools\\\\QV_P.html\""},
        {"C:\\Tools\\", "\"C:\\Tools\\\\\""}, // the trailing backslash must not eat the quote
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"", "\"\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuoteCommandLineArgument(c.in), c.out) << c.in;
    }
}

} // namespace
} // namespace talvex
