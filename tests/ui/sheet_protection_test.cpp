// Protection page: one line per unit of the part's table, highlights from
// and to the mask, and the key.

#include "sheet_fixture.h"

#include <QLabel>
#include <cstdio>

#include "pages/protection_page.h"

namespace talvex::testing {
namespace {

using Strings = std::vector<std::string>;

std::string PagesLine(unsigned first, unsigned last, unsigned start, unsigned end) {
    char text[80];
    std::snprintf(text, sizeof text, "Pages %03u-%03u (0x%05x-0x%05x)", first, last, start, end);
    return text;
}

class ProtectionTest : public SheetTest {
protected:
    // Opens the sheet on the Protection page for part with the saved mask.
    void OpenOn(const std::string& part, std::uint64_t mask) {
        ConfigureValues values = Defaults();
        values.settings.protect = "Yes";
        values.settings.part = part;
        values.settings.mask = mask;
        values.settings.propertyPage = 4;
        Open(values);
        ASSERT_EQ(CurrentCaption(), "Protection");
    }
    QListWidget* List() const { return Find<QListWidget>("unitList"); }
    Strings Lines() const {
        Strings lines;
        for (int i = 0; i < List()->count(); ++i)
            lines.push_back(List()->item(i)->text().toStdString());
        return lines;
    }
    std::vector<int> ItemValues() const {
        std::vector<int> values;
        for (int i = 0; i < List()->count(); ++i)
            values.push_back(List()->item(i)->data(ui::ProtectionPage::kItemValueRole).toInt());
        return values;
    }
    std::vector<int> Highlighted() const {
        std::vector<int> rows;
        for (int i = 0; i < List()->count(); ++i)
            if (List()->item(i)->isSelected()) rows.push_back(i);
        return rows;
    }
    void ClickLine(int row, Qt::KeyboardModifiers modifiers = {}) {
        QListWidget* list = List();
        list->scrollToItem(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers,
                          list->visualItemRect(list->item(row)).center());
    }
};

TEST_F(ProtectionTest, OneBlockPartGives32LinesOnTheLowBits) {
    OpenOn("ZaRQ4126", 0x0000000080000001ull);
    Strings expected;
    std::vector<int> values;
    for (unsigned k = 0; k < 31; ++k) {
        expected.push_back(PagesLine(4 * k, 4 * k + 3, 0x800 * k, 0x800 * k + 0x7ff));
        values.push_back(static_cast<int>(k));
    }
    expected.push_back("Read protection");
    values.push_back(31);
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(Lines().front(), "Pages 000-003 (0x00000-0x007ff)");
    EXPECT_EQ(Lines()[30], "Pages 120-123 (0x0f000-0x0f7ff)");
    EXPECT_EQ(ItemValues(), values);
    EXPECT_EQ(Highlighted(), (std::vector<int>{0, 31}));
}

TEST_F(ProtectionTest, TwoBlockPartGives63LinesHighBitsFirst) {
    OpenOn("ZaRQ4127", 0x4000000100000002ull);
    const Strings lines = Lines();
    ASSERT_EQ(lines.size(), 63u);
    EXPECT_EQ(lines[0], "Pages 000-003 (0x00000-0x007ff)");
    EXPECT_EQ(lines[29], "Pages 116-119 (0x0e800-0x0efff)");
    EXPECT_EQ(lines[30], "Pages 120-127 (0x0f000-0x0ffff)");
    EXPECT_EQ(lines[31], "Pages 128-131 (0x10000-0x107ff)");
    EXPECT_EQ(lines[61], "Pages 248-251 (0x1f000-0x1f7ff)");
    EXPECT_EQ(lines[62], "Read protection");
    const std::vector<int> values = ItemValues();
    EXPECT_EQ(values[0], 32 | 0);
    EXPECT_EQ(values[29], 32 | 29);
    EXPECT_EQ(values[30], 32 | 30);
    EXPECT_EQ(values[31], 0);
    EXPECT_EQ(values[61], 30);
    EXPECT_EQ(values[62], 31);
    // High bit 0 (first line), high bit 30 (Pages 120-127), low bit 1.
    EXPECT_EQ(Highlighted(), (std::vector<int>{0, 30, 32}));
}

TEST_F(ProtectionTest, AllThenOkStoresEveryUnitsBit) {
    struct Case {
        const char* part;
        std::uint64_t mask;
    };
    for (const Case& c :
         {Case{"ZaRQ4126", 0x00000000ffffffffull}, Case{"ZaRQ4127", 0x7fffffffffffffffull}}) {
        SCOPED_TRACE(c.part);
        OpenOn(c.part, 0);
        Click("allButton");
        EXPECT_EQ(Ok().settings.mask, c.mask);
    }
}

TEST_F(ProtectionTest, NoneThenOkStoresNoBitAndClicksSetSingleBits) {
    OpenOn("ZaRQ4126", 0x00000000ffffffffull);
    Click("noneButton");
    EXPECT_TRUE(Highlighted().empty());
    ClickLine(2);
    ClickLine(31, Qt::ControlModifier);
    EXPECT_EQ(Ok().settings.mask, 0x0000000080000004ull);
}

TEST_F(ProtectionTest, ComingBackFromAnotherTabShowsTheSavedMaskAgain) {
    OpenOn("ZaRQ4126", 0x0000000000000003ull);
    ClickLine(5);
    EXPECT_EQ(Highlighted(), std::vector<int>{5});
    GoTo("Parts");
    GoTo("Protection");
    EXPECT_EQ(Highlighted(), (std::vector<int>{0, 1}));
    EXPECT_EQ(Ok().settings.mask, 0x3ull);
}

TEST_F(ProtectionTest, HighlightsChangedThenOkFromAnotherPageAreStored) {
    OpenOn("ZaRQ4126", 0);
    ClickLine(7);
    GoTo("Commands");
    Click("protectCheck"); // the tab goes, the page's highlights stay
    EXPECT_EQ(Ok().settings.mask, 1ull << 7);
}

TEST_F(ProtectionTest, AnotherPartOnThePartsPageRebuildsTheList) {
    OpenOn("ZaRQ4126", 0);
    EXPECT_EQ(List()->count(), 32);
    GoTo("Parts");
    Pick("partList", "ZaRQ4128");
    GoTo("Protection");
    EXPECT_EQ(List()->count(), 63);
}

TEST_F(ProtectionTest, TheKeyIsStoredAsTyped) {
    struct Case {
        const char* typed; // nullptr: not touched
        const char* stored;
    };
    for (const Case& c : {Case{"", ""}, Case{"1A2b", "1A2b"}, Case{nullptr, "739"}}) {
        SCOPED_TRACE(c.stored);
        OpenOn("ZaRQ4126", 0);
        auto* key = Find<QLineEdit>("keyBox");
        EXPECT_EQ(key->text().toStdString(), "739");
        if (c.typed != nullptr) {
            key->clear();
            QTest::keyClicks(key, QString::fromLatin1(c.typed));
            Click("allButton"); // a refresh keeps what was typed
        }
        EXPECT_EQ(Ok().settings.key0, c.stored);
    }
}

TEST_F(ProtectionTest, ListUsesAFixedPitchFontOfTheGivenHeight) {
    OpenOn("ZaRQ4126", 0);
    const QFont font = List()->font();
    // Every character as wide as the next, so that the columns line up.
    const QFontMetrics metrics(font);
    for (QChar c : QStringLiteral("iW0x-( "))
        EXPECT_EQ(metrics.horizontalAdvance(c), metrics.horizontalAdvance(QLatin1Char('m')))
            << c.toLatin1();
    EXPECT_EQ(font.pixelSize(), (24 * List()->logicalDpiX() + 80) / 160);
    EXPECT_EQ(ui::ProtectionListFont(96).pixelSize(), 14);
    EXPECT_EQ(ui::ProtectionListFont(120).pixelSize(), 18);
    EXPECT_EQ(font.weight(), QFont::Medium);
}

TEST_F(ProtectionTest, AMissingDatabaseIsReportedAndTheDefaultLayoutShown) {
    std::filesystem::remove(partDb_);
    MessageRecorder messages;
    OpenOn("ZaRQ4127", 0);
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], "Configuration file \"" + partDb_ +
                                     "\" cannot be located.\n\nPlease re-install TALVEX to fix "
                                     "this problem.");
    EXPECT_EQ(List()->count(), 32);
}

TEST_F(ProtectionTest, UnknownBlockSizesGiveAnEmptyListAndAZeroMask) {
    WriteFile("zelchip.ini", "[Odd]\nROMStart=0x80000\nROMEnd=0x8FFFF\nFBlk0Sz=0x4000\n");
    OpenOn("Odd", 0xffull);
    EXPECT_EQ(List()->count(), 0);
    Click("allButton");
    EXPECT_EQ(Ok().settings.mask, 0u);
}

} // namespace
} // namespace talvex::testing
