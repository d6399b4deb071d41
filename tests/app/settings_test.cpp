#include <gtest/gtest.h>

#include "ini_file.h"
#include "settings.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

Settings InDir(const TempDir& dir) {
    Settings s;
    s.programDir = dir.Dir();
    s.settingsStem = dir.Dir() + "talvex";
    s.settingsPath = s.settingsStem + ".ini";
    return s;
}

TEST(SettingsOpening, MissingFileGivesEveryDefault) {
    TempDir dir;
    Settings s = InDir(dir);
    ReadSettingsAtOpening(s);
    EXPECT_EQ(s.imageFile, dir.Dir() + "sample.hex");
    EXPECT_EQ(s.port, "COM1");
    EXPECT_EQ(s.baud, "9600");
    EXPECT_EQ(s.massErase, "No");
    EXPECT_EQ(s.program, "Yes");
    EXPECT_EQ(s.verify, "No");
    EXPECT_EQ(s.protect, "No");
    EXPECT_EQ(s.autorun, "No");
    EXPECT_EQ(s.key0, "739");
    EXPECT_EQ(s.mask, 0u);
    EXPECT_EQ(s.part, "ZaRQ4126");
    EXPECT_EQ(s.runMode, 0);
    // The Windows browser path cannot exist here: the desktop's opener.
    EXPECT_EQ(ReadHelpBrowser(s), "xdg-open");
    EXPECT_EQ(ReadHelpFolder(s), dir.Dir());
}

TEST(SettingsOpening, HandEditedFileInAnyLetterCase) {
    TempDir dir;
    Settings s = InDir(dir);
    WriteBytes(s.settingsPath,
               "[talvex]\npart=ZaRQ4127\nfile=C:\\x.hex\n[COMS]\nPORT=COM7\n"
               "[run]\naddress=-1\n[TALVEX]\nPart=ignored\n");
    ReadSettingsAtOpening(s);
    EXPECT_EQ(s.part, "ZaRQ4127");
    EXPECT_EQ(s.imageFile, "C:\\x.hex");
    EXPECT_EQ(s.port, "COM7");
    EXPECT_EQ(s.runMode, -1) << "signed settings take the 32-bit two's complement";
}

TEST(SettingsMask, ParseTakesOnlyTheExactForm) {
    struct Case {
        const char* text;
        std::uint64_t mask;
    } cases[] = {
        {"0x0000000000000001", 1},
        {"0X0000000000000001", 0},
        {"0x1", 0},
        {"0", 0},
        {"0xFFFFffffFFFFffff", ~std::uint64_t{0}},
        {"0x8000000000000000", std::uint64_t{1} << 63},
        {"0x000000000000000g", 0},
        {"0x00000000000000001", 0},
        {" 0x0000000000000001", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseMask(c.text), c.mask) << c.text;
}

TEST(SettingsMask, FormatIsSixteenLowerCaseDigitsAndReadsBack) {
    EXPECT_EQ(FormatMask(~std::uint64_t{0}), "0xffffffffffffffff");
    EXPECT_EQ(FormatMask(0xAB), "0x00000000000000ab");
    for (std::uint64_t m :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0xDEADBEEF12345678}}) {
        EXPECT_EQ(ParseMask(FormatMask(m)), m);
    }
}

TEST(SettingsFrameBytes, OnlyAPlainSizeTurnsPackingOn) {
    struct Case {
        const char* text;
        int frameBytes;
    } cases[] = {
        {"", 0},     {"0", 0},     {"1", 1},     {"64", 64},
        {"064", 64}, {"250", 250}, {"251", 250}, {"99999999999999999999", 250},
        {"-1", 0},   {"-64", 0},   {"+64", 0},   {"abc", 0},
        {"64k", 0},  {"0x40", 0},  {"6 4", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseFrameBytes(c.text), c.frameBytes) << c.text;
}

TEST(SettingsFrameBytes, ReadFromTheFileAndFromAnUnstoredOption) {
    TempDir dir;
    Settings s = InDir(dir);
    ReadSettingsAtOpening(s);
    EXPECT_EQ(s.frameBytes, 0) << "off unless asked for";

    WriteBytes(s.settingsPath, "[flash]\nframebytes = \"128\"\n");
    ReadSettingsAtOpening(s);
    EXPECT_EQ(s.frameBytes, 128);
    WriteBytes(s.settingsPath, "[Flash]\nFrameBytes=-8\n");
    ReadSettingsAtOpening(s);
    EXPECT_EQ(s.frameBytes, 0);

    EXPECT_TRUE(SetOpeningValue(s, "FrameBytes", " 300 "));
    EXPECT_EQ(s.frameBytes, 250);
    EXPECT_TRUE(SetOpeningValue(s, "FrameBytes", "many"));
    EXPECT_EQ(s.frameBytes, 0);
}

TEST(SettingsSwitches, EngineWantsExactYesSheetTakesAnyCase) {
    struct Case {
        const char* text;
        bool engine;
        bool sheet;
    } cases[] = {{"Yes", true, true},  {"yes", false, true}, {"YES", false, true},
                 {"No", false, false}, {"", false, false},   {"Yes ", false, false},
                 {"Y", false, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(IsOn(c.text), c.engine) << c.text;
        EXPECT_EQ(IsOnAnyCase(c.text), c.sheet) << c.text;
    }
}

TEST(SettingsConfigure, OkWritesEveryKeyInOrderAndReadsBack) {
    TempDir dir;
    Settings s = InDir(dir);
    s.propertyPage = 3;
    s.port = "COM4";
    s.baud = "115200";
    s.massErase = "Yes";
    s.program = "No";
    s.verify = "Yes";
    s.protect = "Yes";
    s.autorun = "Yes";
    s.runMode = 1;
    s.key0 = "abc";
    s.mask = 0x8000000000000001;
    s.part = "ZaRQ4128";
    WriteSettingsAfterConfigure(s, "/usr/bin/firefox", "/opt/help");

    EXPECT_EQ(ReadBytes(s.settingsPath),
              "[TalVex]\nPropertyPage=3\nPart=ZaRQ4128\n"
              "[Coms]\nPort=COM4\nBaud=115200\n"
              "[Flash]\nMassErase=Yes\nProgram=No\nVerify=Yes\nProtect=Yes\nKey0=abc\n"
              "Mask=0x8000000000000001\n"
              "[Run]\nAutorun=Yes\nAddress=1\n"
              "[Help]\nBrowser=/usr/bin/firefox\nUrl=/opt/help\n");

    Settings back = InDir(dir);
    ReadSettingsAtOpening(back);
    ReadSettingsAtConfigure(back);
    EXPECT_EQ(back.propertyPage, 3);
    EXPECT_EQ(back.port, s.port);
    EXPECT_EQ(back.baud, s.baud);
    EXPECT_EQ(back.massErase, "Yes");
    EXPECT_EQ(back.program, "No");
    EXPECT_EQ(back.verify, "Yes");
    EXPECT_EQ(back.protect, "Yes");
    EXPECT_EQ(back.autorun, "Yes");
    EXPECT_EQ(back.runMode, 1);
    EXPECT_EQ(back.key0, "abc");
    EXPECT_EQ(back.mask, s.mask);
    EXPECT_EQ(back.part, "ZaRQ4128");
    EXPECT_EQ(ReadHelpBrowser(back), "/usr/bin/firefox");
    EXPECT_EQ(ReadHelpFolder(back), "/opt/help");
}

} // namespace
} // namespace talvex
