// The main window in an interactive run: what it shows when it opens, a
// download with its lines, progress and button states, Run/Reset, Browse,
// Configure, the keys and buttons that close it, and the status list's
// scrolling.

#include <QAction>
#include <QLineEdit>
#include <QProgressBar>
#include <QScrollBar>

#include "text_fit.h"
#include "window_fixture.h"

namespace talvex::testing {
namespace {

struct ButtonStates {
    bool start;
    bool runReset;
    bool configure;
    bool operator==(const ButtonStates&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ButtonStates& s) {
    return out << "{start " << s.start << ", run/reset " << s.runReset << ", configure "
               << s.configure << "}";
}

// Watches a window through a download: the buttons as each status line
// arrives, and the progress bar as it moves.
class Watch {
public:
    struct Row {
        std::string text;
        ButtonStates buttons;
    };
    struct Bar {
        int value;
        int maximum;
        std::string text;
    };

    explicit Watch(QWidget& window)
        : list_(Find<QListWidget>(window, "statusList")),
          start_(Find<QPushButton>(window, "startButton")),
          runReset_(Find<QPushButton>(window, "runResetButton")),
          configure_(Find<QPushButton>(window, "configureButton")),
          bar_(Find<QProgressBar>(window, "progressBar")) {
        QObject::connect(list_->model(), &QAbstractItemModel::rowsInserted, list_,
                         [this](const QModelIndex&, int first, int) {
                             rows.push_back({list_->item(first)->text().toStdString(), Buttons()});
                         });
        QObject::connect(bar_, &QProgressBar::valueChanged, bar_, [this](int value) {
            bars.push_back({value, bar_->maximum(), bar_->text().toStdString()});
        });
    }

    ButtonStates Buttons() const {
        return {start_->isEnabled(), runReset_->isEnabled(), configure_->isEnabled()};
    }
    // The buttons as they were when the line beginning with prefix came.
    std::optional<ButtonStates> At(const std::string& prefix) const {
        for (const auto& row : rows) {
            if (row.text.rfind(prefix, 0) == 0) return row.buttons;
        }
        return std::nullopt;
    }
    bool BarText(const std::function<bool(const Bar&)>& pred) const {
        return std::any_of(bars.begin(), bars.end(), pred);
    }

    std::vector<Row> rows;
    std::vector<Bar> bars;

private:
    QListWidget* list_;
    QPushButton* start_;
    QPushButton* runReset_;
    QPushButton* configure_;
    QProgressBar* bar_;
};

// Whole rows in view from top to bottom; a long line runs off the right.
bool FullyVisible(QListWidget* list, int row) {
    const QRect rect = list->visualItemRect(list->item(row));
    return rect.isValid() && rect.top() >= 0 && rect.bottom() < list->viewport()->height();
}

int TopRow(QListWidget* list) { return list->indexAt(QPoint(1, 1)).row(); }

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

TEST_F(WindowTest, OpensWithPortAndRateAndWaitsForStart) {
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    Watch watch(dialog);
    dialog.show();
    const std::string port = MakeSettings().port;
    EXPECT_EQ(Rows(dialog),
              (std::vector<std::string>{"    Connect test board to PC " + port + " at 115200 Baud.",
                                        "    Click Start."}));
    EXPECT_EQ(TopRow(Find<QListWidget>(dialog, "statusList")), 0);
    EXPECT_EQ(watch.Buttons(), (ButtonStates{true, false, true}));
    EXPECT_EQ(Find<QPushButton>(dialog, "runResetButton")->text(), QStringLiteral("Run"));
    EXPECT_EQ(Find<QLineEdit>(dialog, "fileBox")->text().toStdString(), MakeSettings().imageFile);
    EXPECT_TRUE(Find<QLineEdit>(dialog, "fileBox")->isReadOnly());
    EXPECT_EQ(dialog.focusWidget(), Find<QPushButton>(dialog, "exitButton"));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("TALVEX"));
    EXPECT_FALSE(Find<QProgressBar>(dialog, "progressBar")->isTextVisible());
    QTest::qWait(50);
    EXPECT_FALSE(dialog.Session().Worker().Running()) << "an interactive window waits for Start";
    Screenshot(dialog, QStringLiteral("opened"));
}

TEST_F(WindowTest, IsAFixedWindowWithItsIconTabOrderAndNoDefaultButton) {
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint);
    const auto sizes = dialog.windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(256, 256)));

    std::vector<std::string> order;
    QWidget* w = Find<QPushButton>(dialog, "exitButton");
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible())
            order.push_back(w->objectName().toStdString());
        w = w->nextInFocusChain();
    } while (w != Find<QPushButton>(dialog, "exitButton"));
    EXPECT_EQ(order,
              (std::vector<std::string>{"exitButton", "fileBox", "browseButton", "statusList",
                                        "startButton", "runResetButton", "configureButton"}));
    // A focused button takes Enter for itself; away from the buttons none
    // is the default.
    Find<QLineEdit>(dialog, "fileBox")->setFocus();
    for (auto* button : dialog.findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->isDefault()) << button->objectName().toStdString();
        EXPECT_FALSE(button->accessibleName().isEmpty()) << button->objectName().toStdString();
    }
}

TEST_F(WindowTest, NoStaticTextIsCutShort) {
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    EXPECT_EQ(CutShortLabels(dialog), std::vector<std::string>{});
}

TEST_F(WindowTest, AboutEntryNamesProgramAndVersion) {
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    auto* about = dialog.findChild<QAction*>(QStringLiteral("aboutAction"));
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), QStringLiteral("&About TALVEX..."));
    const auto actions = dialog.actions();
    const auto at = actions.indexOf(about);
    ASSERT_GT(at, 0);
    EXPECT_TRUE(actions[at - 1]->isSeparator());
    about->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find(std::string("TALVEX ") + TALVEX_VERSION), std::string::npos);
}

TEST_F(WindowTest, InteractiveDownloadNarratesShowsProgressAndSetsTheButtons) {
    // Paced writing, so that the write phase runs long enough for a time
    // left to show.
    StartSim({"--write-us-per-byte", "700"});
    const auto chunks = Records(0, 16, 128);
    WriteImage("board.hex", HexText(chunks));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    Watch watch(dialog);
    auto* bar = Find<QProgressBar>(dialog, "progressBar");
    bool pictured = false;
    QObject::connect(bar, &QProgressBar::valueChanged, &dialog, [&] {
        if (pictured || !bar->text().contains(QStringLiteral(" left"))) return;
        pictured = true;
        Screenshot(dialog, QStringLiteral("downloading"));
    });
    dialog.show();
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "    Click Run to run program."); }));
    ASSERT_TRUE(WaitFor([&] { return watch.Buttons() == ButtonStates{true, true, true}; }));

    const auto rows = Rows(dialog);
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 2, rows.end()),
              (std::vector<std::string>{
                  "Ready @ 115200 baud n,8,1.", "    Press Download and pulse Reset on hardware.",
                  "ZaRQ4126 BOOT rJ.2 received.", "Erasing 4 pages of 512 bytes each.",
                  "Downloading ... 2048 bytes", "Verifying ... 2048 bytes", "Flashing Complete.",
                  "    Click Run to run program."}));
    EXPECT_TRUE(messages_.empty());

    // Start pressed: nothing changes until the port is open; then all off
    // until the download has ended.
    EXPECT_EQ(watch.At("Ready @"), (ButtonStates{true, false, true}));
    EXPECT_EQ(watch.At("ZaRQ4126 BOOT"), (ButtonStates{false, false, false}));
    EXPECT_EQ(watch.At("Flashing Complete."), (ButtonStates{false, false, false}));

    using Bar = Watch::Bar;
    EXPECT_TRUE(watch.BarText(
        [](const Bar& b) { return StartsWith(b.text, "Erasing ") && b.maximum == 4; }));
    EXPECT_TRUE(watch.BarText([](const Bar& b) {
        return StartsWith(b.text, "Writing ") && b.value > 0 && b.maximum == 2048;
    }));
    EXPECT_TRUE(watch.BarText([](const Bar& b) {
        return StartsWith(b.text, "Writing ") && b.text.find(" left") != std::string::npos;
    })) << "the write phase ran over a second";
    EXPECT_TRUE(watch.BarText([](const Bar& b) { return StartsWith(b.text, "Verifying "); }));
    // The worker sets the bar back to 0; the result then fills it and
    // stays until the next download.
    EXPECT_EQ(bar->value(), bar->maximum()) << "the bar stays full with the result";
    EXPECT_TRUE(bar->isTextVisible());
    EXPECT_TRUE(StartsWith(bar->text().toStdString(), "Done: 2048 bytes in "))
        << bar->text().toStdString();

    auto* list = Find<QListWidget>(dialog, "statusList");
    EXPECT_TRUE(FullyVisible(list, list->count() - 1)) << "the last line added is in view";
    EXPECT_EQ(FlashRange(0, 2048), ImageBytes(chunks));
    Screenshot(dialog, QStringLiteral("after-download"));
}

TEST_F(WindowTest, FailedDownloadShowsItsBoxAndGivesTheButtonsBack) {
    StartSim({"--nak", "W@3"});
    WriteImage("board.hex", HexText(Records(0, 8, 64)));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    Watch watch(dialog);
    dialog.show();
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(
        WaitFor([&] { return HasRow(dialog, "    Check setup and try downloading again."); }));
    ASSERT_TRUE(WaitFor([&] { return watch.Buttons() == ButtonStates{true, true, true}; }));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find("Download aborted."), std::string::npos) << messages_[0];
    EXPECT_TRUE(HasRow(dialog, "Flash error."));
    EXPECT_FALSE(dialog.isHidden()) << "an interactive window stays open after a failure";
    Screenshot(dialog, QStringLiteral("after-failure"));
}

TEST_F(WindowTest, PortThatDoesNotOpenLeavesStartAvailable) {
    ui::MainDialog dialog(Stored(MakeSettings(), false)); // no simulator: no such port
    Watch watch(dialog);
    dialog.show();
    for (int press = 1; press <= 2; ++press) {
        QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return messages_.size() == static_cast<std::size_t>(press); }));
        EXPECT_EQ(messages_.back(), "Can not open COM port.");
        EXPECT_EQ(watch.Buttons(), (ButtonStates{true, false, true}));
    }
    EXPECT_EQ(Rows(dialog).size(), 2u);
}

TEST_F(WindowTest, StartPressedTwiceBeforeThePortOpensGivesOneDownload) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    auto* start = Find<QPushButton>(dialog, "startButton");
    QTest::mouseClick(start, Qt::LeftButton);
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "    Click Run to run program."); }));
    ASSERT_TRUE(WaitFor([&] { return start->isEnabled(); }));
    QTest::qWait(100);
    EXPECT_EQ(CountRows(dialog, "Ready @ "), 1u);
    EXPECT_EQ(CountRows(dialog, "Downloading ... "), 1u);
    EXPECT_EQ(Frames('W').size(), 4u);
}

class RunResetTest : public WindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(RunResetTest, RunsOrResetsTheTargetAfterADownload) {
    const int runMode = GetParam();
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.runMode = runMode;
    ui::MainDialog dialog(Stored(s, false));
    Watch watch(dialog);
    dialog.show();
    auto* runReset = Find<QPushButton>(dialog, "runResetButton");
    EXPECT_EQ(runReset->text(), runMode == 1 ? QStringLiteral("Reset") : QStringLiteral("Run"));
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] {
        return watch.Buttons() == ButtonStates{true, true, true} &&
               HasRow(dialog, "Flashing Complete.");
    }));

    QTest::mouseClick(runReset, Qt::LeftButton);
    // Pressed: Run/Reset off, Configure on, at once.
    EXPECT_EQ(watch.Buttons(), (ButtonStates{true, false, true}));
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "Running."); }));
    QTest::qWait(50);
    EXPECT_EQ(watch.Buttons(), (ButtonStates{true, false, true}));
    ASSERT_EQ(Frames('R').size(), 1u);
    EXPECT_EQ(Frames('R')[0].value, static_cast<std::uint32_t>(runMode));
}

INSTANTIATE_TEST_SUITE_P(Modes, RunResetTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 1 ? std::string("Reset") : std::string("Run");
                         });

TEST_F(WindowTest, BrowseOffersTheImageFileAndStoresTheChoice) {
    StartSim({});
    const std::string board = WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const std::string other = WriteImage("other.hex", HexText(Records(0x200, 1, 16)));
    Settings s = MakeSettings();
    s.imageFile = board;
    ui::MainDialog dialog(Stored(s, false));
    dialog.show();
    auto* fileBox = Find<QLineEdit>(dialog, "fileBox");

    std::vector<ui::FileRequest> requests;
    QString answer;
    ui::Hooks().openFile = [&](QWidget* parent, const ui::FileRequest& request) {
        EXPECT_EQ(parent, &dialog);
        requests.push_back(request);
        return answer;
    };
    // Cancel changes nothing.
    QTest::mouseClick(Find<QPushButton>(dialog, "browseButton"), Qt::LeftButton);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, QStringLiteral("Select File"));
    EXPECT_EQ(requests[0].folder.toStdString(), dir_.string() + "/");
    EXPECT_EQ(requests[0].proposedName, QStringLiteral("board.hex"));
    EXPECT_TRUE(requests[0].filter.startsWith(QStringLiteral("*.hex ")));
    EXPECT_EQ(fileBox->text().toStdString(), board);
    EXPECT_EQ(ini::ReadText(s.settingsPath, "TalVex", "File", "", 1000), board);

    answer = QString::fromStdString(other);
    QTest::mouseClick(Find<QPushButton>(dialog, "browseButton"), Qt::LeftButton);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(fileBox->text().toStdString(), other);
    EXPECT_EQ(ini::ReadText(s.settingsPath, "TalVex", "File", "", 1000), other);

    // The next download takes the new file.
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "Flashing Complete."); }));
    ASSERT_EQ(Frames('W').size(), 1u);
    EXPECT_EQ(Frames('W')[0].value, 0x200u);
}

TEST_F(WindowTest, ConfigureOkStoresAddsTheLineAndDisablesRunResetCancelWritesNothing) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const Settings s = MakeSettings();
    ui::MainDialog dialog(Stored(s, false));
    Watch watch(dialog);
    dialog.show();
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] {
        return watch.Buttons() == ButtonStates{true, true, true} &&
               HasRow(dialog, "Flashing Complete.");
    }));
    const auto rowsBefore = Rows(dialog);

    // Cancel: only the Parts page's choice holds, in memory.
    dialog.SetConfigureSheet(
        [&](QWidget* parent, ConfigureValues& values, const ui::SheetServices& services) {
            EXPECT_EQ(parent, &dialog);
            EXPECT_EQ(values.browser, "browser");
            EXPECT_EQ(values.settings.port, s.port);
            services.partSelected("ZaRQ4127");
            // A page that stores a value by itself keeps it stored on Cancel.
            services.storeNow("Help", "Browser", "/usr/bin/true");
            values.settings.baud = "1200";
            return false;
        });
    QTest::mouseClick(Find<QPushButton>(dialog, "configureButton"), Qt::LeftButton);
    EXPECT_EQ(Rows(dialog), rowsBefore);
    EXPECT_EQ(watch.Buttons(), (ButtonStates{true, true, true}));
    EXPECT_EQ(dialog.Session().CurrentSettings().part, "ZaRQ4127");
    EXPECT_EQ(ini::ReadText(s.settingsPath, "TalVex", "Part", "", 100), "ZaRQ4126");
    EXPECT_EQ(ini::ReadText(s.settingsPath, "Coms", "Baud", "", 100), "115200");
    EXPECT_EQ(ini::ReadText(s.settingsPath, "Help", "Browser", "", 100), "/usr/bin/true");

    // OK: stored, the line that names port and rate, Run/Reset off even
    // after a good download, and its caption follows the run mode.
    dialog.SetConfigureSheet([&](QWidget*, ConfigureValues& values, const ui::SheetServices&) {
        values.browser = "/usr/bin/firefox";
        values.settings.baud = "57600";
        values.settings.runMode = 1;
        values.settings.part = "ZaRQ4126";
        return true;
    });
    QTest::mouseClick(Find<QPushButton>(dialog, "configureButton"), Qt::LeftButton);
    const auto rows = Rows(dialog);
    ASSERT_EQ(rows.size(), rowsBefore.size() + 1);
    EXPECT_EQ(rows.back(),
              "    Connect test board to PC " + s.port + " at 57600 Baud. Click Start.");
    auto* list = Find<QListWidget>(dialog, "statusList");
    EXPECT_TRUE(FullyVisible(list, list->count() - 1));
    EXPECT_EQ(watch.Buttons(), (ButtonStates{true, false, true}));
    EXPECT_EQ(Find<QPushButton>(dialog, "runResetButton")->text(), QStringLiteral("Reset"));
    EXPECT_EQ(ini::ReadText(s.settingsPath, "Coms", "Baud", "", 100), "57600");
    EXPECT_EQ(ini::ReadText(s.settingsPath, "Run", "Address", "", 100), "1");
    EXPECT_EQ(ini::ReadText(s.settingsPath, "Help", "Browser", "", 100), "/usr/bin/firefox");
}

struct CloseKeyCase {
    const char* name;
    std::function<void(ui::MainDialog&)> act;
    int result;
    std::size_t browses; // open-file dialogs asked for on the way
};

void PrintTo(const CloseKeyCase& c, std::ostream* out) { *out << c.name; }

class CloseKeyTest : public WindowTest, public ::testing::WithParamInterface<CloseKeyCase> {};

TEST_P(CloseKeyTest, EndsTheModalRunWithItsResult) {
    const CloseKeyCase& c = GetParam();
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    std::size_t browses = 0;
    ui::Hooks().openFile = [&](QWidget*, const ui::FileRequest&) {
        ++browses;
        return QString();
    };
    QTimer::singleShot(0, &dialog, [&] { c.act(dialog); });
    EXPECT_EQ(ExecWithGuard(dialog, 5000), c.result) << c.name;
    EXPECT_EQ(browses, c.browses) << c.name;
    EXPECT_TRUE(dialog.isHidden());
}

void Key(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    target->setFocus();
    QTest::keyClick(target, key, modifiers);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, CloseKeyTest,
    ::testing::Values(
        CloseKeyCase{"ExitButton",
                     [](ui::MainDialog& d) {
                         QTest::mouseClick(Find<QPushButton>(d, "exitButton"), Qt::LeftButton);
                     },
                     -1, 0},
        CloseKeyCase{"CloseBox", [](ui::MainDialog& d) { d.close(); }, 2, 0},
        CloseKeyCase{
            "Escape",
            [](ui::MainDialog& d) { Key(Find<QPushButton>(d, "exitButton"), Qt::Key_Escape); }, 2,
            0},
        CloseKeyCase{"EnterOnFileBox",
                     [](ui::MainDialog& d) { Key(Find<QLineEdit>(d, "fileBox"), Qt::Key_Return); },
                     1, 0},
        CloseKeyCase{"KeypadEnterOnStatusList",
                     [](ui::MainDialog& d) {
                         Key(Find<QListWidget>(d, "statusList"), Qt::Key_Enter, Qt::KeypadModifier);
                     },
                     1, 0},
        // Enter on a push button presses that button.
        CloseKeyCase{
            "EnterOnExitButton",
            [](ui::MainDialog& d) { Key(Find<QPushButton>(d, "exitButton"), Qt::Key_Return); }, -1,
            0},
        CloseKeyCase{"EnterOnBrowseThenExit",
                     [](ui::MainDialog& d) {
                         Key(Find<QPushButton>(d, "browseButton"), Qt::Key_Return);
                         EXPECT_FALSE(d.isHidden());
                         QTest::mouseClick(Find<QPushButton>(d, "exitButton"), Qt::LeftButton);
                     },
                     -1, 1}),
    [](const ::testing::TestParamInfo<CloseKeyCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(WindowTest, EachAddedLineShowsWithThreeEarlierLinesAndNothingMovesWhileAllFit) {
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    dialog.show();
    IWindowOps& view = dialog;
    auto* list = Find<QListWidget>(dialog, "statusList");
    const int rowHeight = list->visualItemRect(list->item(0)).height();
    const int viewHeight = list->viewport()->height();
    ASSERT_GT(rowHeight, 0);
    const int fit = viewHeight / rowHeight;
    ASSERT_GE(fit, 4) << "the list shows a line with three above it";

    for (int n = 0; n < 60; ++n) {
        view.AddStatusLine("line " + std::to_string(n));
        const int last = list->count() - 1;
        for (int k = 0; k <= std::min(3, last); ++k) {
            EXPECT_TRUE(FullyVisible(list, last - k)) << last << "-" << k;
        }
        if (list->count() <= fit) {
            EXPECT_EQ(TopRow(list), 0) << "nothing moves while every line fits";
        } else {
            // Never scrolled past the last line: no room for a whole row
            // below it.
            EXPECT_LT(viewHeight - list->visualItemRect(list->item(last)).bottom(), rowHeight);
        }
    }
    EXPECT_EQ(list->count(), 62) << "the list is never cleared";

    // A line appended without scrolling stays out of view until the next
    // added line brings it in.
    const int top = TopRow(list);
    view.AppendStatusLine("appended");
    QTest::qWait(20); // the list lays the new row out when it next draws
    EXPECT_EQ(TopRow(list), top);
    EXPECT_FALSE(FullyVisible(list, list->count() - 1));
    view.AddStatusLine("added");
    EXPECT_TRUE(FullyVisible(list, list->count() - 2));
    EXPECT_TRUE(FullyVisible(list, list->count() - 1));

    // Rows cannot be selected.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(list->count() - 1)).center());
    EXPECT_TRUE(list->selectedItems().isEmpty());
}

} // namespace
} // namespace talvex::testing

namespace talvex::testing {
namespace {

TEST_F(WindowTest, F1AsksForTheMainHelpPageAndTheSheetForItsOwn) {
    ui::MainDialog dialog(Stored(MakeSettings(), false));
    std::vector<std::string> pages;
    dialog.SetHelpRunner([&](const Settings& settings, const std::string& page) {
        EXPECT_EQ(settings.settingsPath, MakeSettings().settingsPath);
        pages.push_back(page);
    });
    dialog.show();
    // Shortcuts work only in the active window, as for a user.
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QTest::keyClick(Find<QPushButton>(dialog, "exitButton"), Qt::Key_F1);
    EXPECT_EQ(pages, std::vector<std::string>{"QV_P.html"});

    dialog.SetConfigureSheet([](QWidget*, ConfigureValues&, const ui::SheetServices& services) {
        services.showHelp();
        return false;
    });
    QTest::mouseClick(Find<QPushButton>(dialog, "configureButton"), Qt::LeftButton);
    EXPECT_EQ(pages, (std::vector<std::string>{"QV_P.html", "QVC_B.html"}));
}

} // namespace
} // namespace talvex::testing

namespace talvex::testing {
namespace {

TEST_F(WindowTest, ARunRecordThatCannotBeWrittenIsSaidInTheStatusList) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const Settings s = MakeSettings();
    const StartupResult startup = Stored(s, false);
    // The record would go into a folder that does not exist.
    ini::WriteText(s.settingsPath, "Log", "File", (dir_ / "no-such-folder" / "r.jsonl").string());
    ui::MainDialog dialog(startup);
    dialog.show();
    QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return HasRow(dialog, "    Click Run to run program."); }));
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& row : Rows(dialog)) {
            if (row.find("no-such-folder") != std::string::npos) return true;
        }
        return false;
    })) << "the lost record is said where the user looks";
}

} // namespace
} // namespace talvex::testing
