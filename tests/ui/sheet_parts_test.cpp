// Parts page: the list from the part database, the four limits, and a
// choice that is in force at once.

#include "sheet_fixture.h"
#include "text_fit.h"

#include <QLabel>

namespace talvex::testing {
namespace {

using Strings = std::vector<std::string>;

class PartsTest : public SheetTest {
protected:
    Strings Limits() const {
        Strings texts;
        for (const char* name :
             {"romStartValue", "romEndValue", "kernelStartValue", "kernelEndValue"})
            texts.push_back(Find<QLabel>(name)->text().toStdString());
        return texts;
    }
};

TEST_F(PartsTest, ListsThePartsSortedAndShowsTheLimitsAsWritten) {
    WriteFile("zelchip.ini",
              "[ZaRQ4126]\nROMStart=0x80000\nROMEnd=0x8F7FF\nKStart=0x8F800\nKEnd=0x8FFFF\n"
              "[alpha]\nROMStart=0X80000\nKStart=64K\n"
              "[ZaRQ4120]\n");
    Open(Defaults());
    EXPECT_EQ(Entries("partList"), (Strings{"alpha", "ZaRQ4120", "ZaRQ4126"}));
    EXPECT_EQ(Current("partList"), "ZaRQ4126");
    EXPECT_EQ(Limits(), (Strings{"0x80000", "0x8F7FF", "0x8F800", "0x8FFFF"}));
    Pick("partList", "alpha");
    EXPECT_EQ(Limits(), (Strings{"0X80000", "-1", "64K", "-1"})) << "no scanning, -1 when missing";
    EXPECT_TRUE(Find<QComboBox>("partList")->isEnabled());
}

TEST_F(PartsTest, LimitsOfTenCharactersAndLongerAreShownWhole) {
    WriteFile("zelchip.ini",
              "[ZaRQ4126]\nROMStart=0x00080000\nROMEnd=0x00087FFF\n"
              "KStart=0x0009F800\nKEnd=0x0009FFFF_as_written\n");
    Open(Defaults());
    EXPECT_EQ(Limits(),
              (Strings{"0x00080000", "0x00087FFF", "0x0009F800", "0x0009FFFF_as_written"}));
    EXPECT_EQ(CutShortLabels(*Find<QWidget>("partsPage")), Strings{});
}

TEST_F(PartsTest, ASettingInOtherLetterCaseSelectsItsPartAndKeepsItsSpelling) {
    ConfigureValues values = Defaults();
    values.settings.part = "zarq4126";
    Open(values);
    EXPECT_EQ(Current("partList"), "ZaRQ4126");
    EXPECT_TRUE(selected_.empty());
    EXPECT_EQ(Ok().settings.part, "zarq4126");
}

TEST_F(PartsTest, APartTheDatabaseLacksGivesWayToTheFirstEvenOnCancel) {
    ConfigureValues values = Defaults();
    values.settings.part = "ZaRQ9999";
    Open(values);
    EXPECT_EQ(Current("partList"), "ZaRQ4119");
    EXPECT_EQ(selected_, Strings{"ZaRQ4119"}) << "in force at once";
    Click("cancelButton");
    EXPECT_EQ(sheet_->result(), QDialog::Rejected);
}

TEST_F(PartsTest, AChoiceIsInForceAtOnceAndGoesBackOnOk) {
    Open(Defaults());
    Pick("partList", "ZaRQ4127");
    EXPECT_EQ(selected_, Strings{"ZaRQ4127"});
    EXPECT_EQ(Limits(), (Strings{"0x80000", "0x9F7FF", "0x9F800", "0x9FFFF"}));
    GoTo("Comms");
    GoTo("Parts");
    EXPECT_EQ(Current("partList"), "ZaRQ4127") << "the list is not filled again";
    EXPECT_EQ(Entries("partList").size(), 10u);
    EXPECT_EQ(Ok().settings.part, "ZaRQ4127");
}

TEST_F(PartsTest, AMissingDatabaseIsReportedAndTheListDisabled) {
    std::filesystem::remove(partDb_);
    MessageRecorder messages;
    Open(Defaults());
    EXPECT_EQ(messages.texts, Strings{"Configuration file \"" + partDb_ +
                                      "\" cannot be located.\n\nPlease re-install TALVEX to fix "
                                      "this problem."});
    EXPECT_FALSE(Find<QComboBox>("partList")->isEnabled());
    EXPECT_EQ(Find<QComboBox>("partList")->count(), 0);
    EXPECT_EQ(Limits(), (Strings{"0x00080000", "0x00087FFF", "0x0009F800", "0x0009FFFF"}));
    GoTo("Help");
    GoTo("Parts");
    EXPECT_EQ(messages.texts.size(), 1u) << "reported once per sheet";
    EXPECT_EQ(Ok().settings.part, "ZaRQ4126");
    EXPECT_TRUE(selected_.empty());
}

TEST_F(PartsTest, AnEmptyDatabaseLeavesThePartAsItIs) {
    WriteFile("zelchip.ini", "; no parts yet\n");
    Open(Defaults());
    EXPECT_EQ(Find<QComboBox>("partList")->count(), 0);
    EXPECT_TRUE(selected_.empty());
    EXPECT_EQ(Ok().settings.part, "ZaRQ4126");
}

} // namespace
} // namespace talvex::testing
