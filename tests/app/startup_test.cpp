#include <sys/stat.h>

#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "command_flags.h"
#include "ini_file.h"
#include "settings.h"
#include "startup.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

// Runs in a fresh current folder, so that relative settings-file names land
// in the test's own folder.
class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = std::filesystem::current_path();
        std::filesystem::current_path(work_.Dir());
    }
    void TearDown() override { std::filesystem::current_path(saved_); }

    // Start-up on a command line, then the settings as the window reads them.
    Settings Start(const std::string& commandLine, StartupResult* out = nullptr) {
        StartupResult r = RunStartup(program_.Dir(), commandLine);
        ReadSettingsAtOpening(r.settings);
        if (out) *out = r;
        return r.settings;
    }

    TempDir program_;
    TempDir work_;
    std::filesystem::path saved_;
};

TEST_F(Startup, NoCommandLineUsesTalvexIniBesideTheProgramAndWritesNothing) {
    StartupResult r;
    Settings s = Start("", &r);
    EXPECT_EQ(s.settingsStem, program_.Dir() + "talvex");
    EXPECT_EQ(s.settingsPath, program_.Dir() + "talvex.ini");
    EXPECT_EQ(s.partDbPath, program_.Dir() + "zelchip.ini");
    EXPECT_FALSE(std::filesystem::exists(s.settingsPath));
    EXPECT_FALSE(r.unattended);
    EXPECT_EQ(s.imageFile, program_.Dir() + "sample.hex");
}

TEST_F(Startup, FirstWordNamesTheSettingsFile) {
    struct Case {
        const char* line;
        const char* path;
    } cases[] = {
        {"myset.ini af=board.hex", "myset.ini"},     {"myset af=board.hex", "myset.ini"},
        {"MYSET.INI af=board.hex", "MYSET.INI.ini"}, {"\"my set.ini\" af=board.hex", "my set.ini"},
        {"a.ini.ini af=board.hex", "a.ini.ini"},     {"ab af=board.hex", "ab.ini"},
    };
    for (const Case& c : cases) {
        Settings s = Start(c.line);
        EXPECT_EQ(s.settingsPath, c.path) << c.line;
        EXPECT_EQ(ini::ReadText(work_.File(c.path), "TalVex", "File", "", 1024), "board.hex")
            << c.line;
        EXPECT_EQ(s.partDbPath, program_.Dir() + "zelchip.ini") << c.line;
    }
}

// "-h.ini" created and then used by every later run is never what was meant.
TEST_F(Startup, AFirstWordWithADashIsNoSettingsFile) {
    for (const char* line : {"-h cp=COM3", "--show cp=COM3", "-V.ini cp=COM3"}) {
        Settings s = Start(line);
        EXPECT_EQ(s.settingsPath, program_.Dir() + "talvex.ini") << line;
        EXPECT_TRUE(std::filesystem::is_empty(work_.Dir())) << line;
    }
}

TEST_F(Startup, OptionsThatAreNotToBeStoredStillApplyAndWriteNothing) {
    WriteBytes(program_.File("talvex.ini"), "[Coms]\nPort=COM1\n");
    StartupResult r = RunStartup(program_.Dir(), "af=board.hex cp=COM7 cb=57600", false);
    EXPECT_EQ(ReadBytes(program_.File("talvex.ini")), "[Coms]\nPort=COM1\n");
    ReadSettingsAtOpening(r.settings);
    ApplyUnstoredOptions(r, r.settings);
    EXPECT_EQ(r.settings.imageFile, "board.hex");
    EXPECT_EQ(r.settings.port, "COM7");
    EXPECT_EQ(r.settings.baud, "57600");
}

TEST(NearestFlag, SuggestsOnlyWhatIsATypoAway) {
    const std::vector<std::string> known = {"--ports", "--show", "--help", "-h", "--trace"};
    struct Case {
        const char* word;
        const char* nearest;
    } cases[] = {
        {"--prots", "--ports"},  {"--shwo", "--show"}, {"--hlp", "--help"},
        {"--show", "--show"},    {"-x", ""},           {"--frobnicate", ""},
        {"--tracer", "--trace"}, {"-help", "--help"},
    };
    for (const Case& c : cases) EXPECT_EQ(NearestFlag(c.word, known), c.nearest) << c.word;
    EXPECT_EQ(UnknownFlagText("--prots", known), "unknown flag --prots; did you mean --ports?");
    EXPECT_EQ(UnknownFlagText("-\x1b[2J", known), "unknown flag -?[2J");
}

TEST_F(Startup, EmptyFirstWordKeepsTheDefaultFile) {
    const char* argv[] = {"talvex-cli", "", "cp=COM3"};
    Settings s = Start(JoinCommandLine(3, argv, 1));
    EXPECT_EQ(s.settingsPath, program_.Dir() + "talvex.ini");
    EXPECT_EQ(s.port, "COM3");
    EXPECT_FALSE(std::filesystem::exists(work_.File(".ini")));
}

TEST_F(Startup, QuotedNamesWithBlanksThenFurtherOptions) {
    Settings s = Start("\"my set.ini\" af=\"C:\\my board.hex\" cp=COM5 fe=n");
    EXPECT_EQ(s.settingsPath, "my set.ini");
    EXPECT_EQ(s.imageFile, "C:\\my board.hex");
    EXPECT_EQ(s.port, "COM5");
    EXPECT_EQ(s.massErase, "No");
}

TEST_F(Startup, AfOnlyCountsInFirstPlace) {
    Settings s = Start("cp=COM3 af=board.hex");
    EXPECT_EQ(s.port, "COM3");
    EXPECT_EQ(s.imageFile, program_.Dir() + "sample.hex");
}

TEST_F(Startup, EveryOptionWritesItsKeyInCommandLineOrder) {
    Settings s = Start(
        "af=a.hex ap=ZaRQ4120 cp=COM9 cb=57600 fe=y fp=n fv=y fh=y fk=1F2 "
        "fm=0x0000000000000010 rr=y rf=1");
    EXPECT_EQ(s.imageFile, "a.hex");
    EXPECT_EQ(s.part, "ZaRQ4120");
    EXPECT_EQ(s.port, "COM9");
    EXPECT_EQ(s.baud, "57600");
    EXPECT_EQ(s.massErase, "Yes");
    EXPECT_EQ(s.program, "No");
    EXPECT_EQ(s.verify, "Yes");
    EXPECT_EQ(s.protect, "Yes");
    EXPECT_EQ(s.key0, "1F2");
    EXPECT_EQ(s.mask, 0x10u);
    EXPECT_EQ(s.autorun, "Yes");
    EXPECT_EQ(s.runMode, 1);
    // "Talvex" from af= and "TalVex" from ap= are one section.
    EXPECT_EQ(ReadBytes(s.settingsPath),
              "[Talvex]\nFile=a.hex\nPart=ZaRQ4120\n[Coms]\nPort=COM9\nBaud=57600\n"
              "[Flash]\nMassErase=Yes\nProgram=No\nVerify=Yes\nProtect=Yes\nKey0=1F2\n"
              "Mask=0x0000000000000010\n[Run]\nAutorun=Yes\nAddress=1\n");
}

TEST_F(Startup, YesNoOptionsLookAtTheFirstLetterOnly) {
    struct Case {
        const char* line;
        const char* written;
    } cases[] = {{"fe=N", "No"},  {"fe=no", "No"}, {"fe=n", "No"},         {"fe=y", "Yes"},
                 {"fe=0", "Yes"}, {"fe=", "Yes"},  {"fe= cp=COM2", "Yes"}, {"fe=nonsense", "No"}};
    for (const Case& c : cases) {
        Settings s = Start(c.line);
        EXPECT_EQ(s.massErase, c.written) << c.line;
    }
    EXPECT_EQ(Start("fe= cp=COM2").port, "COM2");
}

TEST_F(Startup, FrameBytesOptionIsStoredAndAppliedLikeTheOthers) {
    Settings s = Start("fb=96 cp=COM2");
    EXPECT_EQ(s.frameBytes, 96);
    EXPECT_EQ(ReadBytes(s.settingsPath), "[Flash]\nFrameBytes=96\n[Coms]\nPort=COM2\n");
    EXPECT_EQ(Start("fb=0").frameBytes, 0) << "a stored 0 turns packing off again";

    // A folder that cannot take the file: the value still applies, read as
    // the file would give it back.
    StartupResult r;
    s = Start("no/such/dir/x.ini fb=1000", &r);
    ASSERT_EQ(r.unstored.size(), 1u);
    EXPECT_EQ(r.unstored[0].option, "fb=1000");
    EXPECT_EQ(r.unstored[0].key, "FrameBytes");
    EXPECT_EQ(s.frameBytes, 0);
    ApplyUnstoredOptions(r, s);
    EXPECT_EQ(s.frameBytes, 250);
}

TEST_F(Startup, MalformedListsStopOrSkipAsDocumented) {
    Settings s = Start("cp=COM1  cb=115200");
    EXPECT_EQ(s.port, "COM1");
    EXPECT_EQ(s.baud, "9600") << "two blanks end the option list";

    s = Start("cp=COM2 xx=5 cb=19200");
    EXPECT_EQ(s.port, "COM2");
    EXPECT_EQ(s.baud, "19200") << "an unknown option is skipped";

    s = Start("cp=COM3 cp=COM4 junk cb=38400");
    EXPECT_EQ(s.port, "COM4") << "later option overwrites";
    EXPECT_EQ(s.baud, "19200") << "a word that is no option ends the list";
}

TEST_F(Startup, UnattendedFlagAndMissingPartDatabase) {
    struct Case {
        const char* line;
        bool unattended;
    } cases[] = {{"aa=y", true},         {"aa=no", false},       {"aa=N", false},
                 {"cp=COM2 aa=1", true}, {"aa=y cp=COM6", true}, {"", false}};
    for (const Case& c : cases) {
        StartupResult r;
        Settings s = Start(c.line, &r);
        EXPECT_EQ(r.unattended, c.unattended) << c.line;
        EXPECT_FALSE(r.partDbPresent);
        EXPECT_EQ(s.exitCode, c.unattended ? 2 : 0) << c.line;
    }
    EXPECT_EQ(Start("aa=y cp=COM6").port, "COM6") << "the option after aa= is read";

    WriteBytes(program_.File("zelchip.ini"), "[ZaRQ4126]\n");
    StartupResult r;
    Settings s = Start("aa=y", &r);
    EXPECT_TRUE(r.partDbPresent);
    EXPECT_EQ(s.exitCode, 0);
    EXPECT_EQ(MissingPartDbMessage("/x/zelchip.ini"),
              "Configuration file \"/x/zelchip.ini\" can not be located.\n\n"
              "Please re-install TALVEX to fix this problem.");
}

TEST_F(Startup, OptionsAReadOnlyFileRefusesStillApplyToThisRun) {
    const std::string path = work_.File("ro.ini");
    const std::string before = "[Coms]\nPort=COM5\nBaud=9600\n[Flash]\nMassErase=No\n";
    WriteBytes(path, before);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);

    StartupResult r;
    Settings s = Start(
        "ro af=\"my board.hex\" cp=COM9 cb=115200 fe=no fp=n rf=1 "
        "fm=0x00000000000000A0 fk=' 5A '",
        &r);
    std::vector<std::string> options;
    for (const UnstoredOption& u : r.unstored) {
        options.push_back(u.option);
        EXPECT_EQ(u.reason, "read-only file") << u.option;
    }
    // fe=no is already in the file, so the file did take it.
    EXPECT_EQ(options, (std::vector<std::string>{"af=my board.hex", "cp=COM9", "cb=115200", "fp=n",
                                                 "rf=1", "fm=0x00000000000000A0", "fk='"}));
    EXPECT_EQ(s.port, "COM5") << "what the file holds, before the options are put over it";

    ApplyUnstoredOptions(r, s);
    EXPECT_EQ(s.imageFile, "my board.hex");
    EXPECT_EQ(s.port, "COM9");
    EXPECT_EQ(s.baud, "115200");
    EXPECT_EQ(s.massErase, "No");
    EXPECT_EQ(s.program, "No");
    EXPECT_EQ(s.runMode, 1);
    EXPECT_EQ(s.mask, 0xA0u);
    EXPECT_EQ(s.key0, "'") << "values end at the first blank, as when stored";
    EXPECT_TRUE(r.settingsProblem.empty()) << "a read-only file is still read";
    EXPECT_EQ(ReadBytes(path), before);
}

TEST_F(Startup, UnstoredValuesReadAsTheFileWouldGiveThemBack) {
    // A missing folder takes nothing; each value is read as if stored.
    StartupResult r;
    Settings s = Start("no/such/dir/x.ini cp=\"COM7\" fk=\"1F\" rf=0x1 fm=0X00000000000000FF", &r);
    ASSERT_EQ(r.unstored.size(), 4u);
    EXPECT_EQ(r.unstored[0].reason, "no such folder");
    ApplyUnstoredOptions(r, s);
    EXPECT_EQ(s.port, "COM7");
    EXPECT_EQ(s.key0, "1F");
    EXPECT_EQ(s.runMode, 1);
    EXPECT_EQ(s.mask, 0u) << "a mask the reader would not take stays 0";
}

TEST_F(Startup, AValueTheFileCannotHoldAppliesUntilALaterOneIsStored) {
    StartupResult r;
    Settings s = Start("lb.ini cp=COM1\nProtect=Yes cb=19200", &r);
    ASSERT_EQ(r.unstored.size(), 1u);
    EXPECT_EQ(r.unstored[0].reason, "the value holds a line break or a NUL byte");
    ApplyUnstoredOptions(r, s);
    EXPECT_EQ(s.port, "COM1\nProtect=Yes");
    EXPECT_EQ(s.protect, "No");
    EXPECT_EQ(s.baud, "19200");

    // The same key stored later: the file holds the latest word.
    s = Start("lb.ini cp=COM1\nX cp=COM4", &r);
    EXPECT_TRUE(r.unstored.empty());
    ApplyUnstoredOptions(r, s);
    EXPECT_EQ(s.port, "COM4");
}

TEST_F(Startup, ARefusedSettingsFileIsReportedAndLeftAsItIs) {
    const std::string path = work_.File("big.ini");
    const std::string before = "[Coms]\nPort=COM5\n" + std::string(2 << 20, ';');
    WriteBytes(path, before);
    StartupResult r;
    Settings s = Start("big cp=COM9", &r);
    EXPECT_EQ(r.settingsProblem, "larger than 1 MB: 2097169 bytes");
    ASSERT_EQ(r.unstored.size(), 1u);
    EXPECT_EQ(r.unstored[0].reason, r.settingsProblem);
    EXPECT_EQ(s.port, "COM1") << "the default: the file is not read";
    ApplyUnstoredOptions(r, s);
    EXPECT_EQ(s.port, "COM9");
    EXPECT_EQ(ReadBytes(path), before);
}

TEST_F(Startup, ARefusedPartDatabaseEndsAnUnattendedRunWithTwo) {
    WriteBytes(program_.File("zelchip.ini"), "[ZaRQ4126]\n" + std::string(2 << 20, ';'));
    StartupResult r;
    Settings s = Start("aa=y", &r);
    EXPECT_FALSE(r.partDbPresent);
    EXPECT_EQ(r.partDbProblem, "larger than 1 MB: 2097163 bytes");
    EXPECT_EQ(s.exitCode, 2);
    EXPECT_EQ(MissingPartDbMessage("/x/zelchip.ini", r.partDbProblem),
              "Configuration file \"/x/zelchip.ini\" can not be used (larger than 1 MB: 2097163 "
              "bytes).\n\nPlease re-install TALVEX to fix this problem.");
}

TEST(JoinCommandLine, QuotesWordsWithBlanks) {
    struct Case {
        std::vector<const char*> words;
        const char* line;
    } cases[] = {
        {{}, ""},
        {{"cp=COM3", "fe=n"}, "cp=COM3 fe=n"},
        {{"my set.ini", "af=my board.hex", "cp=COM3"},
         "\"my set.ini\" af=\"my board.hex\" cp=COM3"},
        {{"af=\"x y\""}, "af=\"x y\""},
        {{"a\"b"}, "a\"b"},
        {{"", "cp=1"}, " cp=1"},
        // Only an empty word gives two blanks in a row, which ends the list.
        {{"cp=COM1", "", "cb=115200"}, "cp=COM1  cb=115200"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"talvex-cli"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(JoinCommandLine(static_cast<int>(argv.size()), argv.data(), 1), c.line);
    }
}

TEST_F(Startup, ShellWordsWithBlanksArriveWhole) {
    const char* argv[] = {"talvex-cli", "my set.ini", "af=my board.hex", "cp=COM3"};
    Settings s = Start(JoinCommandLine(4, argv, 1));
    EXPECT_EQ(s.settingsPath, "my set.ini");
    EXPECT_EQ(s.imageFile, "my board.hex");
    EXPECT_EQ(s.port, "COM3");
}

TEST(ProgramDir, EndsWithTheSeparatorAndHoldsThisExecutable) {
    std::string dir = CurrentProgramDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), PathSeparator());
    EXPECT_TRUE(std::filesystem::exists(dir + "talvex-app-tests"));
}

} // namespace
} // namespace talvex
