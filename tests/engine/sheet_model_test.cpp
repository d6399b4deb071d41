// The configuration sheet's rules without a window: what each page lists
// and selects, what it shows, and what OK and Cancel hand back. A window
// only draws these, so a slip here shows in every front end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "caseless_order.h"
#include "process_launch.h"
#include "settings.h"
#include "sheet_model.h"

namespace talvex {
namespace {

using Strings = std::vector<std::string>;
using Page = SheetModel::Page;

TEST(CaselessOrder, ComparesFoldedTextAsTheWindowListsDo) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    };
    const Case cases[] = {
        {"ZaRQ4126", "zarq4126", 0},
        {"abc", "ABD", -1},
        {"abc", "ab", 1},                         // a longer text after its prefix
        {"Z", "a", 1},                            // case does not put capitals first
        {"\xC3\xA9", "\xC3\x89", 0},              // é and É
        {"\xC3\xA9", "f", 1},                     // é after every ASCII letter
        {"\xC5\xB8", "\xC3\xBF", 0},              // Ÿ folds to ÿ across the blocks
        {"\xC5\xBF", "S", 0},                     // long s
        {"\xC2\xB5", "\xCE\x9C", 0},              // micro sign and Greek capital mu
        {"\xC4\xB0", "i", 1},                     // dotted capital I stays itself
        {"\xC4\x8C", "\xC4\x8D", 0},              // Č č
        {"\xC5\x81", "\xC5\x82", 0},              // Ł ł (capital on the odd code point)
        {"\xD0\x81", "\xD1\x91", 0},              // Ё ё
        {"\xF0\x9F\x98\x80", "\xEE\x80\x80", -1}, // surrogates before U+E000
        {"\xFF", "\xEF\xBF\xBD", 0},              // a stray byte reads as U+FFFD
        {"a\x80z", "A\xEF\xBF\xBDZ", 0},          // and the bytes after it afresh
    };
    for (const Case& c : cases) {
        const int got = CompareIgnoringCase(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.sign) << c.a << " / " << c.b;
        const int back = CompareIgnoringCase(c.b, c.a);
        EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " / " << c.a;
    }
}

TEST(CaselessOrder, SortsAlphabeticallyAndLetsCaseDecideOnlyTies) {
    Strings names = {"beta",  "alpha", "\xC3\x89mile", "ALPHA", "zeta",
                     "Alpha", "emile", "\xC3\x84hre",  "alpha"};
    std::stable_sort(names.begin(), names.end(), AlphabeticallyBefore);
    EXPECT_EQ(names, (Strings{"ALPHA", "Alpha", "alpha", "alpha", "beta", "emile", "zeta",
                              "\xC3\x84hre", "\xC3\x89mile"}));
}

// A folder with the shipped part database and a settings file path.
class SheetModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/talvex-sheet-model-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::copy_file(TALVEX_RES_DIR "/zelchip.ini", dir_ / "zelchip.ini");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Values as Configure hands them over while the settings file holds
    // nothing else: the defaults, read the way the window reads them.
    ConfigureValues Values() const {
        ConfigureValues v;
        Settings& s = v.settings;
        s.programDir = dir_.string() + "/";
        s.settingsPath = (dir_ / "talvex.ini").string();
        s.partDbPath = (dir_ / "zelchip.ini").string();
        ReadSettingsAtOpening(s);
        ReadSettingsAtConfigure(s);
        v.browser = ReadHelpBrowser(s);
        v.helpFolder = ReadHelpFolder(s);
        return v;
    }

    SheetServices Services() {
        SheetServices services;
        services.partSelected = [this](const std::string& part) { selected_.push_back(part); };
        services.listPortEntries = [this] {
            ++probes_;
            return ports_;
        };
        services.storeNow = [this](const std::string& section, const std::string& key,
                                   const std::string& value) {
            stored_.push_back(section + "/" + key + "=" + value);
        };
        return services;
    }

    void WriteFile(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    std::string ReadFile(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path dir_;
    std::vector<PortEntry> ports_ = {{"COM3", ""}, {"COM7", "USB serial"}};
    int probes_ = 0;
    Strings selected_;
    Strings stored_;
};

Strings PortLabels(const CommsPageModel& comms) {
    Strings labels;
    for (const PortChoice& port : comms.Ports()) labels.push_back(port.label);
    return labels;
}

// The stored part is found in any letter case and keeps its spelling; one
// the database lacks gives way to the first in sorted order at once.
TEST_F(SheetModelTest, PartsSelectsTheStoredPartInAnyCaseOrTheFirst) {
    struct Case {
        const char* part;
        int selected;
        const char* after;
        Strings told;
    };
    const Case cases[] = {
        {"ZaRQ4126", 7, "ZaRQ4126", {}},   {"zarq4126", 7, "zarq4126", {}},
        {"ZARQ4119", 0, "ZARQ4119", {}},   {"ZaRQ9999", 0, "ZaRQ4119", {"ZaRQ4119"}},
        {"", 0, "ZaRQ4119", {"ZaRQ4119"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.part);
        selected_.clear();
        ConfigureValues values = Values();
        values.settings.part = c.part;
        SheetModel model(values, Services());
        PartsPageModel& parts = model.Parts();
        parts.Activate();
        ASSERT_EQ(parts.Names().size(), 10u);
        EXPECT_EQ(parts.Names().front(), "ZaRQ4119");
        EXPECT_EQ(parts.Selected(), c.selected);
        EXPECT_TRUE(parts.ListEnabled());
        EXPECT_EQ(parts.TakeMessage(), "");
        EXPECT_EQ(selected_, c.told);
        EXPECT_EQ(model.Accept(0).settings.part, c.after);
    }
}

TEST_F(SheetModelTest, PartsShowsTheLimitsAsWrittenAndAChoiceAtOnce) {
    WriteFile("zelchip.ini",
              "[ZaRQ4126]\nROMStart=0x80000\nROMEnd=0x8F7FF\nKStart=0x8F800\nKEnd=0x8FFFF\n"
              "[alpha]\nROMStart=0X80000\nKStart=64K\n"
              "[Zeta]\n[ZaRQ4120]\n[beta]\n");
    SheetModel model(Values(), Services());
    PartsPageModel& parts = model.Parts();
    const PartsPageModel::Limits before = parts.Shown();
    EXPECT_EQ(before.romStart, "0x00080000") << "until the database is read";
    parts.Activate();
    EXPECT_EQ(parts.Names(), (Strings{"alpha", "beta", "ZaRQ4120", "ZaRQ4126", "Zeta"}));
    EXPECT_EQ(parts.Selected(), 3);
    const auto limits = [&parts] {
        const PartsPageModel::Limits& l = parts.Shown();
        return Strings{l.romStart, l.romEnd, l.kernelStart, l.kernelEnd};
    };
    EXPECT_EQ(limits(), (Strings{"0x80000", "0x8F7FF", "0x8F800", "0x8FFFF"}));
    parts.Choose(0);
    EXPECT_EQ(limits(), (Strings{"0X80000", "-1", "64K", "-1"})) << "no scanning, -1 when missing";
    EXPECT_EQ(selected_, Strings{"alpha"});
    parts.Choose(5); // beyond the list: nothing happens
    parts.Choose(-1);
    EXPECT_EQ(selected_, Strings{"alpha"});
    parts.Activate(); // coming back does not read the database again
    EXPECT_EQ(parts.Selected(), 0);
    EXPECT_EQ(model.Accept(0).settings.part, "alpha");
}

TEST_F(SheetModelTest, PartsWithoutADatabaseSaysSoOnceAndLeavesThePart) {
    std::filesystem::remove(dir_ / "zelchip.ini");
    SheetModel model(Values(), Services());
    PartsPageModel& parts = model.Parts();
    parts.Activate();
    EXPECT_EQ(parts.TakeMessage(), "Configuration file \"" + (dir_ / "zelchip.ini").string() +
                                       "\" cannot be located.\n\nPlease re-install TALVEX to fix "
                                       "this problem.");
    EXPECT_EQ(parts.TakeMessage(), "") << "shown once";
    EXPECT_FALSE(parts.ListEnabled());
    EXPECT_TRUE(parts.Names().empty());
    EXPECT_EQ(parts.Selected(), -1);
    EXPECT_EQ(parts.Shown().kernelEnd, "0x0009FFFF");
    parts.Activate();
    EXPECT_EQ(parts.TakeMessage(), "") << "and not again when the page comes back";
    EXPECT_TRUE(selected_.empty());
    EXPECT_EQ(model.Accept(0).settings.part, "ZaRQ4126");

    WriteFile("zelchip.ini", "; no parts yet\n");
    SheetModel empty(Values(), Services());
    empty.Parts().Activate();
    EXPECT_TRUE(empty.Parts().ListEnabled());
    EXPECT_EQ(empty.Parts().Selected(), -1);
    EXPECT_EQ(empty.Accept(0).settings.part, "ZaRQ4126");
}

// The configured port is found in any letter case; one that is not present
// is listed as itself, so that what is shown is what OK stores.
TEST_F(SheetModelTest, CommsListsThePortsAndKeepsTheConfiguredOne) {
    struct Case {
        std::vector<PortEntry> present;
        const char* port;
        Strings labels;
        int selected;
    };
    const Case cases[] = {
        {{{"COM3", ""}, {"COM7", ""}}, "COM1", {"COM3", "COM7", "COM1  (not present)"}, 2},
        {{{"COM3", ""}, {"COM7", ""}}, "com7", {"COM3", "COM7"}, 1},
        {{}, "COM1", {"COM1  (not present)"}, 0},
        {{}, "", {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        ports_ = c.present;
        ConfigureValues values = Values();
        values.settings.port = c.port;
        SheetModel model(values, Services());
        CommsPageModel& comms = model.Comms();
        comms.Activate();
        EXPECT_EQ(PortLabels(comms), c.labels);
        EXPECT_EQ(comms.SelectedPort(), c.selected);
        comms.PickPort(-1); // an empty list closing: nothing to take
        EXPECT_EQ(model.Accept(2).settings.port, c.port) << "an untouched list keeps the spelling";
    }
}

TEST_F(SheetModelTest, CommsMarksAnAbsentPortAndStoresAPickByName) {
    SheetModel model(Values(), Services());
    CommsPageModel& comms = model.Comms();
    EXPECT_EQ(probes_, 0);
    comms.Activate();
    comms.Activate();
    EXPECT_EQ(probes_, 1) << "probed once, when first shown";
    const std::vector<PortChoice>& ports = comms.Ports();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_TRUE(ports[1].present);
    EXPECT_EQ(ports[1].description, "USB serial");
    EXPECT_EQ(ports[1].tip, "USB serial");
    EXPECT_FALSE(ports[2].present);
    EXPECT_EQ(ports[2].name, "COM1");
    EXPECT_EQ(ports[2].tip, "COM1 cannot be opened now");
    comms.PickPort(1);
    EXPECT_EQ(model.Accept(2).settings.port, "COM7");
    comms.PickPort(2);
    EXPECT_EQ(model.Accept(2).settings.port, "COM1") << "never the label";
}

TEST_F(SheetModelTest, CommsShowsARateNotOfferedAsItselfAmongTheOthers) {
    const Strings offered = {"300",  "600",   "1200",  "2400",   "4800",
                             "9600", "19200", "38400", "115200", "230400"};
    EXPECT_EQ(CommsPageModel::BaudRates(), offered);
    struct Case {
        const char* baud;
        int position;
        std::size_t count;
    };
    for (const Case& c : {Case{"9600", 5, 10}, Case{"57600", 8, 11}, Case{"460800", 10, 11},
                          Case{"110", 0, 11}, Case{"fast", 10, 11}, Case{"", 10, 11}}) {
        SCOPED_TRACE(c.baud);
        ConfigureValues values = Values();
        values.settings.baud = c.baud;
        SheetModel model(values, Services());
        CommsPageModel& comms = model.Comms();
        comms.Activate();
        ASSERT_EQ(comms.Rates().size(), c.count);
        EXPECT_EQ(comms.SelectedRate(), c.position);
        EXPECT_EQ(comms.Rates()[static_cast<std::size_t>(c.position)], c.baud);
        EXPECT_EQ(model.Accept(2).settings.baud, c.baud);
        comms.PickRate(0);
        EXPECT_EQ(model.Accept(2).settings.baud, comms.Rates()[0]);
    }
}

TEST_F(SheetModelTest, CommandsTicksOnlyWhatTheDownloadTreatsAsOnAndKeepsTheText) {
    const FlashSwitch all[] = {FlashSwitch::MassErase, FlashSwitch::Program, FlashSwitch::Verify,
                               FlashSwitch::Protect, FlashSwitch::Autorun};
    for (const char* value : {"Yes", "yes", "YES", "No", "", "Yes "}) {
        SCOPED_TRACE(std::string("\"") + value + "\"");
        ConfigureValues values = Values();
        Settings& s = values.settings;
        s.massErase = s.program = s.verify = s.protect = s.autorun = value;
        SheetModel model(values, Services());
        const bool on = std::string(value) == "Yes";
        for (FlashSwitch which : all) EXPECT_EQ(model.Commands().Ticked(which), on);
        EXPECT_EQ(model.Tabs().size(), on ? 5u : 4u) << "the Protection tab follows the tick";
        model.Commands().Activate();
        const Settings out = model.Accept(3).settings;
        for (const std::string* text :
             {&out.massErase, &out.program, &out.verify, &out.protect, &out.autorun})
            EXPECT_EQ(*text, value);
    }
}

TEST_F(SheetModelTest, CommandsMassEraseGreysTheOthersWithoutChangingThem) {
    ConfigureValues values = Values();
    values.settings.verify = "yes"; // off for the download
    SheetModel model(values, Services());
    CommandsPageModel& commands = model.Commands();
    commands.Activate();
    EXPECT_TRUE(commands.Click(FlashSwitch::MassErase, true));
    for (FlashSwitch which : {FlashSwitch::Program, FlashSwitch::Verify, FlashSwitch::Protect}) {
        EXPECT_FALSE(commands.Usable(which));
        EXPECT_FALSE(commands.Click(which, true)) << "a greyed box takes no click";
    }
    EXPECT_TRUE(commands.Usable(FlashSwitch::Autorun));
    EXPECT_TRUE(commands.Ticked(FlashSwitch::Program));
    EXPECT_FALSE(commands.Ticked(FlashSwitch::Verify));
    Settings out = model.Accept(3).settings;
    EXPECT_EQ(out.massErase, "Yes");
    EXPECT_EQ(out.verify, "yes") << "untouched, as configured";
    EXPECT_TRUE(commands.Click(FlashSwitch::MassErase, false));
    EXPECT_TRUE(commands.Click(FlashSwitch::Verify, true));
    EXPECT_TRUE(commands.Click(FlashSwitch::Program, false));
    out = model.Accept(3).settings;
    EXPECT_EQ(out.massErase, "No");
    EXPECT_EQ(out.verify, "Yes");
    EXPECT_EQ(out.program, "No");
}

TEST_F(SheetModelTest, CommandsRunModeCountsOnlyOnceThePageWasShown) {
    struct Case {
        int stored;
        bool shown;
        int choose; // -1: leave as shown, 0 Run, 1 Reset
        int expected;
    };
    for (const Case& c : {Case{7, false, -1, 7}, Case{7, true, -1, 1}, Case{0, true, 1, 1},
                          Case{1, true, 0, 0}, Case{0, true, -1, 0}}) {
        SCOPED_TRACE(c.stored);
        ConfigureValues values = Values();
        values.settings.runMode = c.stored;
        SheetModel model(values, Services());
        EXPECT_EQ(model.Commands().ResetChosen(), c.stored != 0);
        if (c.shown) model.Commands().Activate();
        if (c.choose >= 0) model.Commands().ChooseReset(c.choose == 1);
        EXPECT_EQ(model.Accept(3).settings.runMode, c.expected);
    }
}

TEST_F(SheetModelTest, SheetOpensOnTheRememberedPageWhenItIsThere) {
    struct Case {
        int remembered;
        const char* protect;
        int opensOn;
    };
    for (const Case& c : {Case{0, "No", 0}, Case{3, "No", 3}, Case{4, "Yes", 4}, Case{4, "No", 0},
                          Case{4, "yes", 0}, Case{99, "Yes", 0}, Case{-1, "No", 0}}) {
        SCOPED_TRACE(c.remembered);
        ConfigureValues values = Values();
        values.settings.propertyPage = c.remembered;
        values.settings.protect = c.protect;
        SheetModel model(values, Services());
        EXPECT_EQ(model.OpeningIndex(), c.opensOn);
    }
}

TEST_F(SheetModelTest, ProtectBringsTheProtectionTabLastAndTakesItAway) {
    SheetModel model(Values(), Services());
    const std::vector<Page> four = {Page::Parts, Page::Help, Page::Comms, Page::Commands};
    std::vector<Page> five = four;
    five.push_back(Page::Protection);
    EXPECT_EQ(model.Tabs(), four);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(model.ProtectChanged(true), SheetModel::TabChange::Added);
        EXPECT_EQ(model.Tabs(), five);
        EXPECT_EQ(model.Tabs()[SheetModel::kProtectionIndex], Page::Protection);
        EXPECT_EQ(model.ProtectChanged(true), SheetModel::TabChange::None);
        EXPECT_EQ(model.ProtectChanged(false), SheetModel::TabChange::Removed);
        EXPECT_EQ(model.Tabs(), four);
    }
    Strings captions;
    for (Page page : five) captions.push_back(SheetModel::PageCaption(page));
    EXPECT_EQ(captions, (Strings{"Parts", "Help", "Comms", "Commands", "Protection"}));
}

class ProtectionModelTest : public SheetModelTest {
protected:
    std::vector<bool> Highlights(const ProtectionPageModel& page) const {
        std::vector<bool> rows;
        for (const ProtectionLine& line : page.Lines()) rows.push_back(line.highlighted);
        return rows;
    }
};

TEST_F(ProtectionModelTest, LinesFollowThePartsTableAndTheSavedMask) {
    struct Case {
        const char* part;
        std::uint64_t saved;
        std::size_t lines;
        std::uint64_t all;
    };
    for (const Case& c : {Case{"ZaRQ4126", 0x0000000080000001ull, 32, 0x00000000ffffffffull},
                          Case{"ZaRQ4127", 0x4000000100000002ull, 63, 0x7fffffffffffffffull}}) {
        SCOPED_TRACE(c.part);
        ConfigureValues values = Values();
        values.settings.part = c.part;
        values.settings.mask = c.saved;
        SheetModel model(values, Services());
        ProtectionPageModel& page = model.Protection();
        page.Activate();
        ASSERT_EQ(page.Lines().size(), c.lines);
        EXPECT_EQ(page.Lines().front().text, "Pages 000-003 (0x00000-0x007ff)");
        EXPECT_EQ(page.Lines().back().text, "Read protection");
        EXPECT_EQ(page.Lines().back().itemValue, 31u);
        EXPECT_EQ(page.MaskFromHighlights(), c.saved) << "highlighted from the saved mask";
        page.HighlightAll();
        EXPECT_EQ(model.Accept(4).settings.mask, c.all);
        page.HighlightNone();
        EXPECT_EQ(model.Accept(4).settings.mask, 0u);
    }
}

TEST_F(ProtectionModelTest, ComingBackShowsTheSavedMaskAndTheNewPart) {
    ConfigureValues values = Values();
    values.settings.mask = 0x3;
    SheetModel model(values, Services());
    ProtectionPageModel& page = model.Protection();
    page.Activate();
    page.SetHighlights({false, false, false, false, false, true});
    EXPECT_EQ(page.MaskFromHighlights(), 1ull << 5);
    page.Activate();
    EXPECT_EQ(page.MaskFromHighlights(), 0x3ull);
    model.Parts().Activate();
    model.Parts().Choose(9); // ZaRQ4128, two blocks
    page.Activate();
    EXPECT_EQ(page.Lines().size(), 63u);
    page.SetHighlights({true});
    EXPECT_EQ(model.Accept(4).settings.mask, 1ull << 32) << "its first line is high bit 0";
}

TEST_F(ProtectionModelTest, ANeverShownPageGivesBackMaskAndKeyUnchanged) {
    ConfigureValues values = Values();
    values.settings.mask = 0x8000000000000005ull;
    values.settings.key0 = "Cafe";
    SheetModel model(values, Services());
    model.Protection().TakeKeyBox({"", false});
    const Settings out = model.Accept(1).settings;
    EXPECT_EQ(out.mask, 0x8000000000000005ull);
    EXPECT_EQ(out.key0, "Cafe");
}

TEST_F(ProtectionModelTest, TheKeyIsStoredAsTypedAndKeptWhenUntouched) {
    struct Case {
        BoxText box;
        const char* stored;
    };
    for (const Case& c : {Case{{"", false}, ""}, Case{{"1A2b", false}, "1A2b"},
                          Case{{"\xEF\xBF\xBD", true}, "\xFF"}}) {
        SCOPED_TRACE(c.stored);
        ConfigureValues values = Values();
        values.settings.key0 = "\xFF"; // not UTF-8: the box cannot give it back
        SheetModel model(values, Services());
        model.Protection().Activate();
        EXPECT_EQ(model.Protection().Key(), "\xFF");
        model.Protection().TakeKeyBox(c.box);
        EXPECT_EQ(model.Accept(4).settings.key0, c.stored);
    }
}

TEST_F(ProtectionModelTest, AMissingDatabaseIsReportedAndTheDefaultLayoutListed) {
    std::filesystem::remove(dir_ / "zelchip.ini");
    ConfigureValues values = Values();
    values.settings.part = "ZaRQ4127";
    SheetModel model(values, Services());
    model.Protection().Activate();
    EXPECT_NE(model.Protection().TakeMessage().find("cannot be located"), std::string::npos);
    EXPECT_EQ(model.Protection().Lines().size(), 32u);
    model.Protection().Activate();
    EXPECT_EQ(model.Protection().TakeMessage(), "");
}

TEST_F(SheetModelTest, HelpBrowseStoresAtOnceAndTypedBoxesCountOnOk) {
    ConfigureValues values = Values();
    values.browser = "/opt/web/old-browser";
    values.helpFolder = "/srv/help";
    SheetModel model(values, Services());
    HelpPageModel& help = model.Help();
    EXPECT_EQ(help.BrowserRequest().folder, "/opt/web/");
    EXPECT_EQ(help.BrowserRequest().proposedName, "old-browser");
    EXPECT_EQ(help.HelpFileRequest().folder, "/srv/help");
    help.HelpFileChosen(""); // cancelled
    EXPECT_TRUE(stored_.empty());
    help.BrowserChosen("/usr/local/bin/new-browser");
    help.HelpFileChosen("/home/me/help pages/QV_P.html");
    EXPECT_EQ(stored_,
              (Strings{"Help/Browser=/usr/local/bin/new-browser", "Help/Url=/home/me/help pages"}));
    EXPECT_EQ(help.Browser(), "/usr/local/bin/new-browser");
    EXPECT_EQ(help.HelpFolder(), "/home/me/help pages");
    ConfigureValues out = model.Accept(1);
    EXPECT_EQ(out.browser, "/usr/local/bin/new-browser");
    EXPECT_EQ(out.helpFolder, "/home/me/help pages");
    help.TakeBoxes({"/opt/firefox/firefox", false}, {"ignored", true});
    out = model.Accept(1);
    EXPECT_EQ(out.browser, "/opt/firefox/firefox");
    EXPECT_EQ(out.helpFolder, "/home/me/help pages");
}

// OK hands back every value, which the session writes in the settings
// file's order; a sheet left with Cancel writes nothing at all.
TEST_F(SheetModelTest, OkGivesWhatTheFileTakesInItsOrderAndCancelWritesNothing) {
    WriteFile("talvex.ini", "[TalVex]\nFile=/tmp/board.hex\n");
    const std::string before = ReadFile("talvex.ini");
    {
        SheetModel cancelled(Values(), Services());
        cancelled.Parts().Activate();
        cancelled.Parts().Choose(0);
        cancelled.Commands().Click(FlashSwitch::Verify, true);
        cancelled.Comms().Activate();
        cancelled.Comms().PickRate(0);
    }
    EXPECT_EQ(ReadFile("talvex.ini"), before) << "Cancel writes nothing";
    EXPECT_EQ(selected_, Strings{"ZaRQ4119"}) << "the part chosen is in force nonetheless";

    ConfigureValues values = Values();
    values.settings.propertyPage = 0;
    SheetModel model(values, Services());
    model.Parts().Activate();
    model.Parts().Choose(1);
    model.Comms().Activate();
    model.Comms().PickPort(1);
    model.Comms().PickRate(8);
    model.Commands().Activate();
    model.Commands().Click(FlashSwitch::Verify, true);
    model.Commands().Click(FlashSwitch::Autorun, true);
    model.Commands().ChooseReset(true);
    model.Commands().Click(FlashSwitch::Protect, true);
    ASSERT_EQ(model.ProtectChanged(true), SheetModel::TabChange::Added);
    model.Protection().Activate();
    model.Protection().HighlightAll();
    model.Protection().TakeKeyBox({"1A2B", false});
    const ConfigureValues out = model.Accept(SheetModel::kProtectionIndex);
    WriteSettingsAfterConfigure(out.settings, out.browser, out.helpFolder);

    Strings lines;
    std::istringstream text(ReadFile("talvex.ini"));
    for (std::string line; std::getline(text, line);)
        if (!line.empty()) lines.push_back(line);
    EXPECT_EQ(lines, (Strings{"[TalVex]",
                              "File=/tmp/board.hex",
                              "PropertyPage=4",
                              "Part=ZaRQ4120",
                              "[Coms]",
                              "Port=COM7",
                              "Baud=115200",
                              "[Flash]",
                              "MassErase=No",
                              "Program=Yes",
                              "Verify=Yes",
                              "Protect=Yes",
                              "Key0=1A2B",
                              "Mask=0x00000000ffffffff",
                              "[Run]",
                              "Autorun=Yes",
                              "Address=1",
                              "[Help]",
                              "Browser=" + DefaultHelpBrowser(),
                              "Url=" + dir_.string() + "/"}));
}

} // namespace
} // namespace talvex
