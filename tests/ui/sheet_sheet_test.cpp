// The sheet itself: its tabs, the remembered page, copies in and back, and
// a look at every page.

#include "sheet_fixture.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPainter>

namespace talvex::testing {
namespace {

using Strings = std::vector<std::string>;

class SheetFrameTest : public SheetTest {};

// The sheet with the list's drop-down open over it, as the user sees it.
QPixmap WithDropDown(QWidget* sheet, QComboBox* list) {
    list->showPopup();
    QWidget* popup = list->view()->window();
    QApplication::processEvents();
    const QPixmap base = sheet->grab();
    const QPixmap drop = popup->grab();
    const QPoint at = popup->mapToGlobal(QPoint(0, 0)) - sheet->mapToGlobal(QPoint(0, 0));
    const QRect area = QRect(QPoint(0, 0), base.size()).united(QRect(at, drop.size()));
    QPixmap canvas(area.size());
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    painter.drawPixmap(-area.topLeft(), base);
    painter.drawPixmap(at - area.topLeft(), drop);
    painter.end();
    list->hidePopup();
    return canvas;
}

TEST_F(SheetFrameTest, OpensWithCaptionTabsAndOnlyOkAndCancel) {
    Open(Defaults());
    EXPECT_EQ(sheet_->windowTitle().toStdString(), "Configure");
    EXPECT_EQ(TabCaptions(), (Strings{"Parts", "Help", "Comms", "Commands"}));
    Strings buttons;
    for (QAbstractButton* b : Find<QDialogButtonBox>("sheetButtons")->buttons())
        if (b->isVisible()) buttons.push_back(b->objectName().toStdString());
    EXPECT_EQ(buttons, (Strings{"okButton", "cancelButton"}));
}

TEST_F(SheetFrameTest, OpensOnTheRememberedPageOrTheFirstWhenItIsNotThere) {
    struct Case {
        int remembered;
        const char* protect;
        const char* opensOn;
    };
    for (const Case& c :
         {Case{0, "No", "Parts"}, Case{3, "No", "Commands"}, Case{4, "Yes", "Protection"},
          Case{4, "No", "Parts"}, Case{99, "Yes", "Parts"}, Case{-1, "No", "Parts"}}) {
        SCOPED_TRACE(c.remembered);
        ConfigureValues values = Defaults();
        values.settings.propertyPage = c.remembered;
        values.settings.protect = c.protect;
        Open(values);
        EXPECT_EQ(CurrentCaption(), c.opensOn);
    }
}

TEST_F(SheetFrameTest, OkRemembersThePageInFront) {
    ConfigureValues values = Defaults();
    values.settings.propertyPage = 0;
    Open(values);
    GoTo("Comms");
    EXPECT_EQ(Ok().settings.propertyPage, 2);
}

// The sheet opens on the remembered page; a page it opens on is shown at
// once, and the others only when their tab is chosen.
TEST_F(SheetFrameTest, TheOpeningPageIsShownFirst) {
    ConfigureValues values = Defaults();
    values.settings.propertyPage = 2;
    Open(values);
    EXPECT_EQ(probes_, 1);
    EXPECT_EQ(Find<QComboBox>("partList")->count(), 0) << "Parts not shown yet";
    GoTo("Parts");
    EXPECT_EQ(Find<QComboBox>("partList")->count(), 10);
}

// Pages never shown give back what they were given, odd values included.
TEST_F(SheetFrameTest, OkWithoutChangesGivesBackWhatItWasGiven) {
    ConfigureValues values = Defaults();
    values.settings.port = "/dev/ttyACM4";
    values.settings.baud = "57600";
    values.settings.mask = 0x8000000000000005ull;
    values.settings.key0 = "Cafe";
    values.settings.protect = "Yes";
    values.settings.runMode = 7;
    values.settings.propertyPage = 1;
    Open(values);
    GoTo("Parts");
    GoTo("Help");
    const ConfigureValues out = Ok();
    EXPECT_EQ(out.settings.port, values.settings.port);
    EXPECT_EQ(out.settings.baud, values.settings.baud);
    EXPECT_EQ(out.settings.part, values.settings.part);
    EXPECT_EQ(out.settings.key0, "Cafe");
    EXPECT_EQ(out.settings.mask, 0x8000000000000005ull) << "Protection page never shown";
    EXPECT_EQ(out.settings.runMode, 7) << "Commands page never shown";
    EXPECT_EQ(probes_, 0) << "Comms page never shown";
    EXPECT_EQ(out.settings.propertyPage, 1);
    EXPECT_EQ(out.browser, values.browser);
    EXPECT_EQ(out.helpFolder, values.helpFolder);
}

TEST_F(SheetFrameTest, HelpBoxesAreTakenBackOnOk) {
    Open(Defaults());
    GoTo("Help");
    auto* browser = Find<QLineEdit>("browserBox");
    auto* path = Find<QLineEdit>("helpPathBox");
    EXPECT_EQ(browser->text().toStdString(), "/usr/bin/browser");
    browser->setText(QStringLiteral("/opt/firefox/firefox"));
    path->clear();
    QTest::keyClicks(path, QStringLiteral("/srv/help"));
    GoTo("Parts"); // leaving the page keeps what was typed
    const ConfigureValues out = Ok();
    EXPECT_EQ(out.browser, "/opt/firefox/firefox");
    EXPECT_EQ(out.helpFolder, "/srv/help");
}

// The window's way in: a modal sheet; Cancel leaves every value as it was
// and OK hands back the choices.
TEST_F(SheetFrameTest, RunConfigureSheetReturnsTheOutcome) {
    for (bool ok : {false, true}) {
        SCOPED_TRACE(ok);
        ConfigureValues values = Defaults();
        const ConfigureValues before = values;
        QTimer::singleShot(0, [&] {
            auto* sheet = qobject_cast<ui::ConfigSheet*>(QApplication::activeModalWidget());
            ASSERT_NE(sheet, nullptr);
            sheet->Tabs()->setCurrentIndex(3);
            auto* verify = sheet->findChild<QCheckBox*>(QStringLiteral("verifyCheck"));
            QTest::mouseClick(verify, Qt::LeftButton, {}, QPoint(4, verify->height() / 2));
            const char* button = ok ? "okButton" : "cancelButton";
            QTest::mouseClick(sheet->findChild<QPushButton*>(QLatin1String(button)),
                              Qt::LeftButton);
        });
        EXPECT_EQ(ui::RunConfigureSheet(nullptr, values, Services()), ok);
        EXPECT_EQ(values.settings.verify, ok ? "Yes" : "No");
        EXPECT_EQ(values.settings.propertyPage, ok ? 3 : before.settings.propertyPage);
    }
}

// Every page in turn, drawn into build/screenshots for a look; every
// control has its name and lies inside its page.
TEST_F(SheetFrameTest, EveryPageShowsItsNamedControlsInsideThePage) {
    ports_ = {{"COM3", ""},
              {"/dev/ttyUSB0", "FTDI FT232R USB UART, serial A10K3XYZ"},
              {"/dev/ttyUSB1", "Silicon Labs CP2102N USB to UART Bridge Controller, serial 0001"},
              {"/dev/ttyACM0", "ZEL ZaRQ eval board, serial ZQ41-00172"}};
    ConfigureValues values = Defaults();
    values.settings.protect = "Yes";
    values.settings.verify = "Yes";
    values.settings.port = "/dev/ttyUSB0";
    values.settings.baud = "115200";
    values.settings.mask = 0x80000000000000f0ull;
    Open(values);
    QDir().mkpath(QStringLiteral(TALVEX_SCREENSHOT_DIR));
    const std::vector<std::pair<const char*, Strings>> pages = {
        {"Parts",
         {"partList", "romStartValue", "romEndValue", "kernelStartValue", "kernelEndValue"}},
        {"Help", {"browserBox", "helpPathBox"}},
        {"Comms", {"portList", "baudList"}},
        {"Commands",
         {"massEraseCheck", "programCheck", "verifyCheck", "protectCheck", "runRadio", "resetRadio",
          "autorunCheck"}},
        {"Protection", {"unitList", "allButton", "noneButton", "keyBox", "keyPrefixLabel"}},
    };
    for (const auto& [caption, names] : pages) {
        SCOPED_TRACE(caption);
        GoTo(caption);
        QWidget* page = Tabs()->currentWidget();
        QApplication::processEvents();
        for (const std::string& name : names) {
            QWidget* control = page->findChild<QWidget*>(QString::fromStdString(name));
            ASSERT_NE(control, nullptr) << name;
            EXPECT_TRUE(control->isVisible()) << name;
            const QRect inPage(control->mapTo(page, QPoint(0, 0)), control->size());
            EXPECT_TRUE(page->rect().contains(inPage)) << name << " lies outside its page";
        }
        for (QWidget* control : page->findChildren<QWidget*>()) {
            const bool isControl =
                qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control) ||
                qobject_cast<QLineEdit*>(control) || qobject_cast<QListWidget*>(control);
            const bool onPage =
                control->parentWidget() == page || control->parentWidget()->parentWidget() == page;
            if (isControl && onPage) {
                EXPECT_FALSE(control->objectName().isEmpty()) << control->metaObject()->className();
            }
        }
        const QString file = QStringLiteral(TALVEX_SCREENSHOT_DIR "/sheet-%1.png")
                                 .arg(QString::fromLatin1(caption).toLower());
        EXPECT_TRUE(sheet_->grab().save(file)) << file.toStdString();
    }
    GoTo("Comms");
    const QString ports = QStringLiteral(TALVEX_SCREENSHOT_DIR "/sheet-comms-ports.png");
    EXPECT_TRUE(WithDropDown(sheet_.get(), Find<QComboBox>("portList")).save(ports));
    EXPECT_EQ(Find<QLabel>("keyPrefixLabel")->text().toStdString(), "0x");
}

} // namespace
} // namespace talvex::testing
