// The sheet as Configure uses it: with a session over the real worker and
// zarq-sim, what OK stores is what the next download does, and Cancel stores
// nothing while a part chosen on the Parts page is in force at once.

#include "sheet_fixture.h"

#include <sstream>

#include "download_session.h"
#include "engine_fixture.h"
#include "ini_file.h"
#include "process_launch.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class SheetSessionTest : public EngineTest {
protected:
    // What start-up leaves for the window: the paths, and a settings file
    // holding only what the test stored in it.
    StartupResult Startup() const {
        const Settings s = MakeSettings();
        StartupResult startup;
        startup.settings.programDir = s.programDir;
        startup.settings.settingsStem = s.settingsStem;
        startup.settings.settingsPath = s.settingsPath;
        startup.settings.partDbPath = s.partDbPath;
        startup.partDbPresent = true;
        return startup;
    }
    std::string SettingsPath() const { return MakeSettings().settingsPath; }
    std::string SettingsText() const {
        std::ifstream in(SettingsPath(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Configure pressed: the sheet runs modally; actions work it once it is up.
    bool Configure(DownloadSession& session, std::function<void(SheetDriver&)> actions) {
        ConfigureValues values = session.ReadConfigureValues();
        ui::SheetServices services;
        services.partSelected = [&session](const std::string& part) { session.SelectPart(part); };
        services.listPortEntries = [this] {
            return std::vector<PortEntry>{{"COM2", ""}, {sim_->DevicePath(), "zarq-sim"}};
        };
        QTimer::singleShot(0, [&] {
            QWidget* sheet = QApplication::activeModalWidget();
            ASSERT_NE(sheet, nullptr);
            SheetDriver driver(sheet);
            actions(driver);
            // A sheet the actions left open is cancelled, so nothing hangs.
            if (sheet->isVisible()) driver.Click("cancelButton");
        });
        const bool ok = ui::RunConfigureSheet(nullptr, values, services);
        if (ok) session.ApplyConfiguration(values);
        return ok;
    }
};

TEST_F(SheetSessionTest, ChoicesMadeInTheSheetDriveTheNextDownload) {
    StartSim({"--part", "ZaRQ4120"});
    const std::string image = WriteImage("board.hex", HexText(Records(0x5c0, 6, 32)));
    // Only the image is stored; every other setting has its default (COM1,
    // 9600, ZaRQ4126, Program only, run mode 0).
    ini::WriteText(SettingsPath(), "TalVex", "File", image);
    DownloadSession session(window_, Startup());
    session.Open();

    const bool ok = Configure(session, [this](SheetDriver& sheet) {
        EXPECT_EQ(sheet.CurrentCaption(), "Parts");
        sheet.Pick("partList", "ZaRQ4120");
        sheet.GoTo("Comms");
        EXPECT_EQ(sheet.Current("portList"), "COM1  (not present)");
        sheet.Pick("portList", QString::fromStdString(sim_->DevicePath()));
        sheet.Pick("baudList", "115200");
        sheet.GoTo("Commands");
        sheet.Click("verifyCheck");
        sheet.Click("autorunCheck");
        sheet.Click("resetRadio");
        sheet.Click("protectCheck");
        EXPECT_EQ(sheet.CurrentCaption(), "Protection");
        sheet.Click("allButton");
        sheet.Type("keyBox", QStringLiteral("1A2B"));
        sheet.Click("okButton");
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(window_.Lines().back(), "    Connect test board to PC " + sim_->DevicePath() +
                                          " at 115200 Baud. Click Start.");
    EXPECT_EQ(session.RunResetCaption(), "Reset");

    // The settings file holds the keys in the order OK writes them, each
    // new key after the last of its section.
    Strings lines;
    std::istringstream text(SettingsText());
    for (std::string line; std::getline(text, line);)
        if (!line.empty()) lines.push_back(line);
    const Settings s = MakeSettings();
    EXPECT_EQ(lines, (Strings{"[TalVex]",
                              "File=" + image,
                              "PropertyPage=4",
                              "Part=ZaRQ4120",
                              "[Coms]",
                              "Port=" + sim_->DevicePath(),
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
                              "Url=" + s.programDir}));

    session.Start();
    ASSERT_TRUE(window_.WaitLine("Running.", 20s)) << "autorun with reset after the download";
    ASSERT_TRUE(session.WaitIdle(5s));
    const Strings shown = window_.Lines();
    EXPECT_NE(std::find(shown.begin(), shown.end(), "Ready @ 115200 baud n,8,1."), shown.end());
    EXPECT_TRUE(window_.Boxes().empty());

    // Pages 2 and 3 erased, six writes and six verifies, the protection of
    // all 32 units with the key, and the reset.
    std::vector<std::uint32_t> erased;
    for (const auto& f : Frames('E')) erased.push_back(f.value);
    EXPECT_EQ(erased, (std::vector<std::uint32_t>{0x400, 0x600})) << "the image spans two pages";
    EXPECT_EQ(Frames('W').size(), 6u);
    EXPECT_EQ(Frames('V').size(), 6u);
    EXPECT_EQ(sim_->Stats().protection.units.size(), 32u);
    EXPECT_EQ(sim_->Stats().protection.key, std::optional<std::uint32_t>(0x1A2B));
    ASSERT_EQ(Frames('R').size(), 1u);
    EXPECT_EQ(Frames('R')[0].value, 1u) << "Reset chosen on the Commands page";
    EXPECT_EQ(FlashRange(0x5c0, 32), Pattern(32, 0x5c0));
}

TEST_F(SheetSessionTest, CancelStoresNothingButAPartChoiceHoldsForTheNextDownload) {
    StartSim({"--part", "ZaRQ4120"});
    const std::string image = WriteImage("board.hex", HexText(Records(0, 2, 16)));
    ini::WriteText(SettingsPath(), "TalVex", "File", image);
    ini::WriteText(SettingsPath(), "Coms", "Port", sim_->DevicePath());
    ini::WriteText(SettingsPath(), "Coms", "Baud", "115200");
    const std::string before = SettingsText();
    DownloadSession session(window_, Startup());
    session.Open();
    const std::size_t linesBefore = window_.Lines().size();

    const bool ok = Configure(session, [](SheetDriver& sheet) {
        sheet.Pick("partList", "ZaRQ4120");
        sheet.GoTo("Commands");
        sheet.Click("massEraseCheck");
        sheet.Click("cancelButton");
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(SettingsText(), before) << "Cancel writes nothing";
    EXPECT_EQ(window_.Lines().size(), linesBefore) << "and adds no line";
    EXPECT_EQ(session.CurrentSettings().part, "ZaRQ4120");
    EXPECT_EQ(session.CurrentSettings().massErase, "No");

    session.Start();
    ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 20s));
    ASSERT_TRUE(session.WaitIdle(5s));
    EXPECT_EQ(Frames('W').size(), 2u) << "programmed, not mass-erased";
}

} // namespace
} // namespace talvex::testing
