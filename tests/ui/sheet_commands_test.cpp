// Commands page: the switches, Mass erase greying, the Protection tab, and
// the run mode.

#include "sheet_fixture.h"

namespace talvex::testing {
namespace {

using Strings = std::vector<std::string>;

class CommandsTest : public SheetTest {};

// A switch is ticked only when the download treats it as on; OK keeps a
// value the user did not touch, whatever its spelling.
TEST_F(CommandsTest, TicksASwitchOnlyWhenTheDownloadTreatsItAsOn) {
    struct Case {
        const char* value;
        bool ticked;
    };
    for (const Case& c : {Case{"Yes", true}, Case{"yes", false}, Case{"YES", false},
                          Case{"No", false}, Case{"", false}, Case{"Yes ", false}}) {
        SCOPED_TRACE(std::string("\"") + c.value + "\"");
        ConfigureValues values = Defaults();
        values.settings.massErase = c.value;
        values.settings.program = c.value;
        values.settings.verify = c.value;
        values.settings.protect = c.value;
        values.settings.autorun = c.value;
        Open(values);
        GoTo("Commands");
        for (const char* box :
             {"massEraseCheck", "programCheck", "verifyCheck", "protectCheck", "autorunCheck"}) {
            EXPECT_EQ(Find<QCheckBox>(box)->isChecked(), c.ticked) << box;
        }
        EXPECT_EQ(Tabs()->count(), c.ticked ? 5 : 4) << "the Protection tab follows the tick";
        EXPECT_EQ(Find<QCheckBox>("programCheck")->isEnabled(), !c.ticked) << "Mass erase greys";
        const Settings out = Ok().settings;
        EXPECT_EQ(out.massErase, c.value);
        EXPECT_EQ(out.program, c.value);
        EXPECT_EQ(out.verify, c.value);
        EXPECT_EQ(out.protect, c.value);
        EXPECT_EQ(out.autorun, c.value);
    }
}

TEST_F(CommandsTest, AClickWritesYesOrNo) {
    ConfigureValues values = Defaults();
    values.settings.verify = "yes"; // off for the download, so shown off
    values.settings.program = "Yes";
    Open(values);
    GoTo("Commands");
    Click("verifyCheck");  // now on
    Click("programCheck"); // now off
    Click("autorunCheck");
    Click("autorunCheck"); // on and off again
    const Settings out = Ok().settings;
    EXPECT_EQ(out.verify, "Yes");
    EXPECT_EQ(out.program, "No");
    EXPECT_EQ(out.autorun, "No");
    EXPECT_EQ(out.massErase, "No");
}

TEST_F(CommandsTest, MassEraseGreysTheOthersWithoutChangingTheirMarks) {
    ConfigureValues values = Defaults();
    values.settings.verify = "Yes";
    Open(values);
    GoTo("Commands");
    auto* program = Find<QCheckBox>("programCheck");
    auto* verify = Find<QCheckBox>("verifyCheck");
    auto* protect = Find<QCheckBox>("protectCheck");
    Click("massEraseCheck");
    for (QCheckBox* box : {program, verify, protect}) EXPECT_FALSE(box->isEnabled());
    EXPECT_TRUE(Find<QCheckBox>("autorunCheck")->isEnabled());
    Click(program); // a greyed box does not take the click
    EXPECT_EQ(std::vector<bool>({program->isChecked(), verify->isChecked(), protect->isChecked()}),
              std::vector<bool>({true, true, false}));
    Click("massEraseCheck");
    for (QCheckBox* box : {program, verify, protect}) EXPECT_TRUE(box->isEnabled());
    const Settings out = Ok().settings;
    EXPECT_EQ(out.massErase, "No");
    EXPECT_EQ(out.program, "Yes");
    EXPECT_EQ(out.verify, "Yes");
}

TEST_F(CommandsTest, ProtectAddsTheProtectionTabLastAndRemovesItAnyNumberOfTimes) {
    Open(Defaults());
    GoTo("Commands");
    const Strings four = {"Parts", "Help", "Comms", "Commands"};
    const Strings five = {"Parts", "Help", "Comms", "Commands", "Protection"};
    EXPECT_EQ(TabCaptions(), four);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Click("protectCheck");
        EXPECT_EQ(TabCaptions(), five);
        EXPECT_EQ(CurrentCaption(), "Protection") << "made current at once";
        EXPECT_EQ(Find<QListWidget>("unitList")->count(), 32) << "filled as it comes up";
        GoTo("Commands");
        Click("protectCheck");
        EXPECT_EQ(TabCaptions(), four);
        EXPECT_EQ(CurrentCaption(), "Commands");
    }
    Click("protectCheck");
    EXPECT_EQ(Ok().settings.protect, "Yes");
}

TEST_F(CommandsTest, RunModeFollowsTheRadioButtons) {
    struct Case {
        int stored;
        const char* click; // nullptr: leave as shown
        int expected;
    };
    for (const Case& c : {Case{0, "resetRadio", 1}, Case{1, "runRadio", 0}, Case{1, nullptr, 1},
                          Case{0, nullptr, 0}}) {
        SCOPED_TRACE(c.stored);
        ConfigureValues values = Defaults();
        values.settings.runMode = c.stored;
        Open(values);
        GoTo("Commands");
        EXPECT_EQ(Find<QRadioButton>("runRadio")->isChecked(), c.stored == 0);
        EXPECT_EQ(Find<QRadioButton>("resetRadio")->isChecked(), c.stored != 0);
        if (c.click != nullptr) Click(c.click);
        EXPECT_EQ(Ok().settings.runMode, c.expected);
    }
}

} // namespace
} // namespace talvex::testing
