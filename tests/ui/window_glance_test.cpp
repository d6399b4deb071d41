// What the window adds for the operator at the bench: the result in the
// bar and the tally in the title, a HEX file dropped on the window, the
// image at a glance on the file box, and the log copied or saved.

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QToolTip>
#include <QUrl>
#include <fstream>
#include <regex>

#include "window_fixture.h"

namespace talvex::testing {
namespace {

// Hue in degrees and luma of the bar's fill colour.
struct Fill {
    int hue;
    double luma;
};
Fill FillOf(const QColor& c) {
    return {c.hsvHue(), 0.2126 * c.red() + 0.7152 * c.green() + 0.0722 * c.blue()};
}

QPalette DarkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(45, 45, 45));
    p.setColor(QPalette::WindowText, QColor(220, 220, 220));
    p.setColor(QPalette::Base, QColor(30, 30, 30));
    p.setColor(QPalette::AlternateBase, QColor(45, 45, 45));
    p.setColor(QPalette::Text, QColor(220, 220, 220));
    p.setColor(QPalette::Button, QColor(53, 53, 53));
    p.setColor(QPalette::ButtonText, QColor(220, 220, 220));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
    return p;
}

class WindowResultTest : public WindowTest {
protected:
    // Start, and wait for the run's result to reach the title.
    void Press(ui::MainDialog& dialog) {
        const QString title = dialog.windowTitle();
        auto* start = Find<QPushButton>(dialog, "startButton");
        // The last run gives Start back just after its result.
        ASSERT_TRUE(WaitFor([&] { return start->isEnabled(); }));
        QTest::mouseClick(start, Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return dialog.windowTitle() != title; }))
            << "no result for the run";
    }
};

TEST_F(WindowResultTest, BarSaysHowEachRunEndedAndTheTitleCountsThem) {
    StartSim({});
    const auto chunks = Records(0, 8, 64);
    WriteImage("board.hex", HexText(chunks));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    auto* bar = Find<QProgressBar>(dialog, "progressBar");
    const QColor highlight = dialog.palette().color(QPalette::Highlight);

    Press(dialog);
    EXPECT_TRUE(
        std::regex_match(bar->text().toStdString(), std::regex(R"(Done: 512 bytes in \d+\.\d s)")))
        << bar->text().toStdString();
    EXPECT_TRUE(bar->isTextVisible());
    EXPECT_EQ(bar->value(), bar->maximum());
    const Fill green = FillOf(bar->palette().color(QPalette::Highlight));
    EXPECT_NEAR(green.hue, 120, 15);
    EXPECT_NEAR(green.luma, FillOf(highlight).luma, 3.0) << "as light as the style's highlight";
    EXPECT_EQ(dialog.windowTitle().toStdString(), "TALVEX: 1 passed, 0 failed");
    EXPECT_EQ(CountRows(dialog, "Flashing Complete."), 1u) << "the status lines stay as they are";
    Screenshot(dialog, QStringLiteral("result-done"));

    // Configured for a port that is not there: the next run fails to open it.
    ConfigureValues values = dialog.Session().ReadConfigureValues();
    values.settings.port = (dir_ / "ttyGONE0").string();
    dialog.Session().ApplyConfiguration(values);
    Press(dialog);
    EXPECT_EQ(bar->text().toStdString(), "Failed: Can not open COM port (code 4)");
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(messages_, std::vector<std::string>{"Can not open COM port."});
    const Fill red = FillOf(bar->palette().color(QPalette::Highlight));
    EXPECT_TRUE(red.hue < 15 || red.hue > 345) << red.hue;
    EXPECT_EQ(dialog.windowTitle().toStdString(), "TALVEX: 1 passed, 1 failed");
}

TEST_F(WindowResultTest, ARefusedWriteSaysWhereInTheBar) {
    StartSim({"--nak", "W@3"});
    WriteImage("board.hex", HexText(Records(0, 8, 64)));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    Press(dialog);
    auto* bar = Find<QProgressBar>(dialog, "progressBar");
    EXPECT_EQ(bar->text().toStdString(), "Failed: write refused at 0x80 (code 7)");
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(dialog.windowTitle().toStdString(), "TALVEX: 0 passed, 1 failed");
    EXPECT_TRUE(HasRow(dialog, "Flash error.")) << "the status lines stay as they are";
    ASSERT_TRUE(WaitFor([&] { return Find<QPushButton>(dialog, "startButton")->isEnabled(); }));
    Screenshot(dialog, QStringLiteral("result-failed"));
}

TEST_F(WindowResultTest, TheFailureColourFollowsADarkPalette) {
    StartSim({"--nak", "W@1"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.setPalette(DarkPalette());
    dialog.show();
    Press(dialog);
    auto* bar = Find<QProgressBar>(dialog, "progressBar");
    EXPECT_EQ(bar->text().toStdString(), "Failed: write refused at 0x0 (code 7)");
    const QColor fill = bar->palette().color(QPalette::Highlight);
    EXPECT_TRUE(fill.hsvHue() < 15 || fill.hsvHue() > 345) << fill.hsvHue();
    EXPECT_EQ(bar->palette().color(QPalette::Base), QColor(30, 30, 30))
        << "the rest of the bar keeps the dark palette";
    EXPECT_LE(FillOf(fill).luma, FillOf(QColor(42, 130, 218)).luma + 2.0);
    ASSERT_TRUE(WaitFor([&] { return Find<QPushButton>(dialog, "startButton")->isEnabled(); }));
    Screenshot(dialog, QStringLiteral("result-failed-dark"));
}

// The pictures of the main window the help page shows, in the states its
// text describes: as the window opens with a board connected, and after a
// good download. Written at 1x in the default palette.
TEST_F(WindowTest, HelpPicturesShowTheWindowOpenedAndAfterADownload) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 16, 128)));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    EXPECT_EQ(dialog.devicePixelRatio(), 1.0);
    EXPECT_EQ(Rows(dialog).size(), 2u);
    Screenshot(dialog, QStringLiteral("main-window"));
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "    Click Run to run program."); }));
    ASSERT_TRUE(WaitFor([&] { return Find<QPushButton>(dialog, "startButton")->isEnabled(); }));
    EXPECT_TRUE(
        Find<QProgressBar>(dialog, "progressBar")->text().startsWith(QStringLiteral("Done:")));
    Screenshot(dialog, QStringLiteral("main-window-done"));
}

// A drag carrying these files, dropped on the window.
bool Drop(QWidget& window, const std::vector<std::string>& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const auto& p : paths) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p)));
    data.setUrls(urls);
    const QPoint at = window.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    return drop.isAccepted();
}

TEST_F(WindowTest, ADroppedHexFileIsChosenAndStoredAsBrowseDoes) {
    StartSim({});
    const std::string board = WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const std::string other = WriteImage("other.hex", HexText(Records(0x200, 3, 16)));
    Settings s = MakeSettings();
    s.imageFile = board;
    ui::MainDialog dialog(Stored(s, false));
    dialog.show();
    auto* fileBox = Find<QLineEdit>(dialog, "fileBox");
    const auto rows = Rows(dialog);

    EXPECT_FALSE(Drop(dialog, {board, other})) << "two files at once";
    EXPECT_FALSE(Drop(dialog, {dir_.string()})) << "a folder";
    EXPECT_EQ(fileBox->text().toStdString(), board);
    EXPECT_EQ(ini::ReadText(s.settingsPath, "TalVex", "File", "", 1000), board);

    ASSERT_TRUE(Drop(dialog, {other}));
    EXPECT_EQ(fileBox->text().toStdString(), other);
    EXPECT_EQ(ini::ReadText(s.settingsPath, "TalVex", "File", "", 1000), other);
    EXPECT_EQ(Rows(dialog), rows) << "a choice adds no status line, as with Browse";
    EXPECT_TRUE(WaitFor([&] { return fileBox->toolTip().contains(QStringLiteral("3 records")); }))
        << fileBox->toolTip().toStdString();

    // The next download takes the dropped file.
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "Flashing Complete."); }));
    EXPECT_TRUE(HasRow(dialog, "Downloading ... 48 bytes"));
}

// The window with the file box's tooltip drawn below the box, as the user
// sees it on hovering.
void TooltipScreenshot(ui::MainDialog& dialog, const QString& name) {
    auto* fileBox = dialog.findChild<QLineEdit*>(QStringLiteral("fileBox"));
    const QPoint below = fileBox->mapTo(&dialog, QPoint(24, fileBox->height() + 2));
    QToolTip::showText(fileBox->mapToGlobal(QPoint(24, fileBox->height() + 2)), fileBox->toolTip(),
                       fileBox);
    QWidget* tip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->inherits("QTipLabel") && w->isVisible()) tip = w;
    }
    ASSERT_NE(tip, nullptr) << "no tooltip showed";
    QPixmap picture = dialog.grab();
    QPainter painter(&picture);
    painter.drawPixmap(below, tip->grab());
    painter.end();
    QToolTip::hideText();
    QDir().mkpath(QStringLiteral(TALVEX_SCREENSHOT_DIR));
    const QString path = QStringLiteral(TALVEX_SCREENSHOT_DIR "/%1.png").arg(name);
    EXPECT_TRUE(picture.save(path)) << path.toStdString();
}

TEST_F(WindowTest, FileBoxTooltipTellsTheImageAndFollowsItsChanges) {
    StartSim({});
    const std::string board = WriteImage("board.hex", HexText(Records(0, 16, 128)));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    auto* fileBox = Find<QLineEdit>(dialog, "fileBox");
    ASSERT_TRUE(WaitFor([&] { return fileBox->toolTip().contains(QStringLiteral("SHA-256")); }))
        << fileBox->toolTip().toStdString();
    const QStringList lines = fileBox->toolTip().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 5) << fileBox->toolTip().toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("board.hex"));
    EXPECT_EQ(lines[1], QStringLiteral("2048 bytes in 16 records"));
    EXPECT_EQ(lines[2], QStringLiteral("0x00000000 - 0x000007FF"));
    EXPECT_EQ(lines[3], QStringLiteral("4 pages to erase"));
    EXPECT_TRUE(std::regex_match(lines[4].toStdString(), std::regex("SHA-256 [0-9a-f]{12}")));
    TooltipScreenshot(dialog, QStringLiteral("tooltip-image"));

    // Damaged on disk while the window is open: hovering looks again, and
    // says what is wrong before Start.
    {
        std::ofstream out(board, std::ios::binary | std::ios::trunc);
        out << ":10000000000102030405060708090A0B0C0D0E0F78\n"
               ":10001000000102030405060708090A0B0C0D0E0F00\n:00000001FF\n";
    }
    QHelpEvent hover(QEvent::ToolTip, QPoint(5, 5), fileBox->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(fileBox, &hover);
    ASSERT_TRUE(WaitFor([&] {
        return fileBox->toolTip().contains(QStringLiteral("cannot be used"));
    })) << fileBox->toolTip().toStdString();
    EXPECT_TRUE(fileBox->toolTip().contains(QStringLiteral("line 2")))
        << fileBox->toolTip().toStdString();
    EXPECT_TRUE(fileBox->toolTip().startsWith(QStringLiteral("board.hex cannot be used:\n")));
    TooltipScreenshot(dialog, QStringLiteral("tooltip-damaged"));
}

TEST_F(WindowTest, LogMenuCopiesAndSavesEveryLineWithItsTime) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    auto* list = Find<QListWidget>(dialog, "statusList");
    EXPECT_EQ(list->contextMenuPolicy(), Qt::ActionsContextMenu);
    QAction* copyAll = nullptr;
    QAction* saveLog = nullptr;
    bool about = false;
    for (QAction* a : list->actions()) {
        if (a->text() == QStringLiteral("Copy all")) copyAll = a;
        if (a->text() == QStringLiteral("Save log...")) saveLog = a;
        about = about || a->objectName() == QStringLiteral("aboutAction");
    }
    ASSERT_NE(copyAll, nullptr);
    ASSERT_NE(saveLog, nullptr);
    EXPECT_TRUE(about) << "the About entry stays within reach";

    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "    Click Run to run program."); }));
    copyAll->trigger();
    const QStringList copied =
        QGuiApplication::clipboard()->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const auto rows = Rows(dialog);
    ASSERT_EQ(static_cast<std::size_t>(copied.size()), rows.size());
    const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z  )");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string line = copied[static_cast<int>(i)].toStdString();
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, stamp) && m.position(0) == 0) << line;
        EXPECT_EQ(line.substr(m.length(0)), rows[i]);
    }

    const std::string saved = (dir_ / "bench.log").string();
    std::vector<ui::FileRequest> requests;
    ui::Hooks().saveFile = [&](QWidget*, const ui::FileRequest& r) {
        requests.push_back(r);
        return QString::fromStdString(saved);
    };
    saveLog->trigger();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].folder.toStdString(), dir_.string() + "/");
    std::ifstream in(saved, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(QString::fromStdString(text), QGuiApplication::clipboard()->text());
    EXPECT_TRUE(messages_.empty());

    // A file that cannot be written is told, with its name and the reason.
    const std::string nowhere = (dir_ / "no-such-folder" / "bench.log").string();
    ui::Hooks().saveFile = [&](QWidget*, const ui::FileRequest&) {
        return QString::fromStdString(nowhere);
    };
    saveLog->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "Cannot write " + nowhere + ": No such file or directory");
}

} // namespace
} // namespace talvex::testing
