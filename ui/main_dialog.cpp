#include "main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QMimeData>
#include <QToolTip>
#include <QUrl>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <vector>

#include "about_entry.h"
#include "line_database_choice.h"
#include "config_sheet.h"
#include "dialog_hooks.h"
#include "dialog_units.h"
#include "help_launcher.h"
#include "ini_file.h"
#include "qt_window_ops.h"
#include "window_text.h"

namespace talvex::ui {

namespace {

// The bar's own text is a percentage of its int range; ours names the phase
// and the time left, so it is set whole.
class PhaseProgressBar final : public QProgressBar {
public:
    using QProgressBar::QProgressBar;
    QString text() const override { return text_; }
    void SetText(const QString& text) {
        if (text == text_) return;
        text_ = text;
        update();
    }

private:
    QString text_;
};

QString FromLocalPath(const std::string& path) { return QFile::decodeName(path.c_str()); }

std::string ToLocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The local files a drag carries; anything else (a web link, text) none.
std::vector<std::string> DraggedFiles(const QMimeData* data) {
    std::vector<std::string> paths;
    if (data == nullptr || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        paths.push_back(url.isLocalFile() ? ToLocalPath(url.toLocalFile()) : std::string());
    }
    return paths;
}

QColor FromRgb(const Rgb& rgb) { return QColor(rgb[0], rgb[1], rgb[2]); }

Rgb ToRgb(const QColor& color) { return {color.red(), color.green(), color.blue()}; }

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                        const QRect& geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    // No default button at all (a dialog would otherwise make the first
    // auto-default button its default when shown): Enter is handled by the
    // window, which presses a focused button and is OK anywhere else.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/talvex/icons/talvex-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

MainDialog::MainDialog(const StartupResult& startup, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("mainDialog"));
    setWindowTitle(QStringLiteral("TALVEX"));
    setWindowIcon(AppIcon());
    // A window of its own (on the task bar) with a minimise box, not
    // resizable and without a maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    configureSheet_ = RunConfigureSheet;
    helpRunner_ = [](const Settings& settings, const std::string& page) {
        ShowHelpPage(settings, page);
    };
    BuildControls();
    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this,
            [this] { helpRunner_(session_->CurrentSettings(), kMainHelpPage); });

    ops_ = new QtWindowOps(*this, this);
    session_ = std::make_unique<DownloadSession>(*ops_, startup);
    AttachLineDatabase(*session_, *ops_);

    fileBox_->setText(FromLocalPath(session_->ImagePath()));
    runResetButton_->setText(QString::fromStdString(session_->RunResetCaption()));
    runResetButton_->setEnabled(false);
    InstallAboutEntry(*this, [this] { ShowAbout(); });
    BuildLogMenu();
    setAcceptDrops(true);

    glancer_ = std::make_unique<ImageGlancer>([this](const ImageGlance& glance) {
        // On the glancer's thread: over to the window's.
        QMetaObject::invokeMethod(
            this, [this, glance] { ShowGlance(glance); }, Qt::QueuedConnection);
    });
    fileBox_->installEventFilter(this);
}

MainDialog::~MainDialog() {
    closing_ = true;
    WaitForWorker();
    session_.reset();
}

void MainDialog::BuildControls() {
    const DialogUnits du(font());
    setFixedSize(du.X(252), du.Y(175));

    // Created in tab order; Exit comes first so that it has the focus.
    exitButton_ =
        MakeButton(this, "exitButton", QStringLiteral("&Exit"), du.Rect(210, 150, 35, 15));
    fileLabel_ = new QLabel(QStringLiteral("File to &download"), this);
    fileLabel_->setObjectName(QStringLiteral("fileLabel"));
    fileLabel_->setGeometry(du.Rect(5, 10, 52, 8));
    // Nothing stands to its right above the file box.
    FitLabelToText(fileLabel_, du.X(5 + 205));
    fileBox_ = new QLineEdit(this);
    fileBox_->setObjectName(QStringLiteral("fileBox"));
    fileBox_->setGeometry(du.Rect(5, 21, 205, 14));
    fileBox_->setReadOnly(true);
    fileLabel_->setBuddy(fileBox_);
    browseButton_ =
        MakeButton(this, "browseButton", QStringLiteral("&Browse..."), du.Rect(211, 21, 35, 14));

    const QRect groupRect = du.Rect(5, 40, 240, 100);
    monitorGroup_ = new QGroupBox(QStringLiteral("&Monitor Status"), this);
    monitorGroup_->setObjectName(QStringLiteral("monitorGroup"));
    monitorGroup_->setGeometry(groupRect);
    // The list and the bar sit in the group, so that its mnemonic reaches
    // the list.
    statusList_ = new QListWidget(monitorGroup_);
    statusList_->setObjectName(QStringLiteral("statusList"));
    statusList_->setGeometry(du.Rect(15, 55, 220, 70).translated(-groupRect.topLeft()));
    statusList_->setSelectionMode(QAbstractItemView::NoSelection);
    statusList_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    statusList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A horizontal bar would steal rows; a long line shows whole as a tip.
    statusList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    statusList_->setUniformItemSizes(true);

    startButton_ =
        MakeButton(this, "startButton", QStringLiteral("&Start"), du.Rect(66, 150, 35, 15));
    runResetButton_ =
        MakeButton(this, "runResetButton", QStringLiteral("&Reset"), du.Rect(162, 150, 35, 15));

    auto* bar = new PhaseProgressBar(monitorGroup_);
    progressBar_ = bar;
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    // Taller than a bare bar so that its text (phase, percentage, time
    // left) fits inside; it uses the room between the list and the frame.
    progressBar_->setGeometry(du.Rect(15, 128, 220, 10).translated(-groupRect.topLeft()));
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);

    configureButton_ = MakeButton(this, "configureButton", QStringLiteral("&Configure..."),
                                  du.Rect(10, 150, 43, 14));

    exitButton_->setAccessibleName(QStringLiteral("Exit"));
    fileBox_->setAccessibleName(QStringLiteral("File to download"));
    browseButton_->setAccessibleName(QStringLiteral("Browse"));
    statusList_->setAccessibleName(QStringLiteral("Monitor status"));
    startButton_->setAccessibleName(QStringLiteral("Start"));
    runResetButton_->setAccessibleName(QStringLiteral("Run or reset the target"));
    progressBar_->setAccessibleName(QStringLiteral("Progress"));
    configureButton_->setAccessibleName(QStringLiteral("Configure"));

    setTabOrder(exitButton_, fileBox_);
    setTabOrder(fileBox_, browseButton_);
    setTabOrder(browseButton_, statusList_);
    setTabOrder(statusList_, startButton_);
    setTabOrder(startButton_, runResetButton_);
    setTabOrder(runResetButton_, configureButton_);

    connect(exitButton_, &QPushButton::clicked, this, [this] { done(kExitResult); });
    connect(browseButton_, &QPushButton::clicked, this, [this] { Browse(); });
    connect(startButton_, &QPushButton::clicked, this, [this] {
        if (closing_) return;
        RefreshGlance();
        session_->Start();
    });
    connect(runResetButton_, &QPushButton::clicked, this, [this] {
        if (!closing_) session_->RunReset();
    });
    connect(configureButton_, &QPushButton::clicked, this, [this] { Configure(); });
}

void MainDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (opened_) return;
    opened_ = true;
    exitButton_->setFocus(Qt::OtherFocusReason);
    // The opening lines, and in an unattended run the start.
    session_->Open();
    RefreshGlance();
}

void MainDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // Back from the editor or the build that rewrote the image.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && opened_) {
        RefreshGlance();
    }
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == fileBox_ && event->type() == QEvent::ToolTip) RefreshGlance();
    return QDialog::eventFilter(watched, event);
}

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
    if (!closing_ && DroppedImage(DraggedFiles(event->mimeData()))) event->acceptProposedAction();
}

void MainDialog::dragMoveEvent(QDragMoveEvent* event) {
    if (!closing_ && DroppedImage(DraggedFiles(event->mimeData()))) event->acceptProposedAction();
}

void MainDialog::dropEvent(QDropEvent* event) {
    const std::optional<std::string> path = DroppedImage(DraggedFiles(event->mimeData()));
    if (closing_ || !path) return;
    event->acceptProposedAction();
    ChooseImage(*path);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (enter && plain) {
        // Enter presses the focused push button; from anywhere else it is OK.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled()) button->click();
        } else {
            done(kOkResult);
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

int MainDialog::exec() {
    const int result = closing_ ? this->result() : QDialog::exec();
    WaitForWorker();
    return result;
}

void MainDialog::done(int r) {
    if (closing_) return;
    closing_ = true;
    // Nothing the worker still has on its way is drawn any more, and the
    // worker stops at its next step; a box it waits on is closed for it.
    ops_->Close();
    session_->RequestStop();
    DismissOpenDialogs();
    QDialog::done(r);
}

void MainDialog::WaitForWorker() {
    if (!session_ || session_->Finished()) return;
    ops_->Close();
    session_->RequestStop();
    // The worker has started and not finished, so its notice is still to
    // come, and no event is served between the check and the loop: the
    // loop cannot miss it.
    QEventLoop loop;
    connect(ops_, &QtWindowOps::workerFinished, &loop, &QEventLoop::quit);
    loop.exec();
}

void MainDialog::DismissOpenDialogs() {
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    const auto dialogs = findChildren<QDialog*>();
    for (QDialog* dialog : dialogs) {
        if (dialog->isVisible()) dialog->reject();
    }
}

void MainDialog::ShowAbout() {
    ShowMessageBox(this, QStringLiteral("TALVEX %1\n\nPrograms the flash of ZaRQ microcontrollers "
                                        "through their serial bootloader.")
                             .arg(QStringLiteral(TALVEX_VERSION)));
}

void MainDialog::Browse() {
    const FileRequest request = BrowseRequest(session_->ImagePath(), PathSeparator());
    const QString chosen = AskOpenFileName(this, request);
    if (!chosen.isEmpty() && !closing_) {
        ChooseImage(ToLocalPath(chosen));
    } else {
        fileBox_->setText(FromLocalPath(session_->ImagePath()));
    }
}

void MainDialog::ChooseImage(const std::string& path) {
    session_->ChooseImage(path);
    fileBox_->setText(FromLocalPath(session_->ImagePath()));
    RefreshGlance();
}

void MainDialog::RefreshGlance() {
    // An unattended run shows nothing to hover over; the worker reads the
    // file alone.
    if (closing_ || !glancer_ || session_->Unattended()) return;
    const std::string path = session_->ImagePath();
    if (glancer_->Refresh(path)) {
        fileBox_->setToolTip(QString::fromStdString(GlancePendingText(path)));
    }
}

void MainDialog::ShowGlance(const ImageGlance& glance) {
    // A look overtaken by a newer choice says nothing.
    if (closing_ || glance.path != session_->ImagePath()) return;
    const QString text = QString::fromStdString(GlanceText(glance));
    fileBox_->setToolTip(text);
    if (QToolTip::isVisible() && fileBox_->underMouse()) {
        QToolTip::showText(QCursor::pos(), text, fileBox_);
    }
}

void MainDialog::BuildLogMenu() {
    statusList_->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copyAll = new QAction(QStringLiteral("Copy all"), statusList_);
    copyAll->setObjectName(QStringLiteral("copyAllAction"));
    connect(copyAll, &QAction::triggered, this, [this] { CopyLog(); });
    auto* saveLog = new QAction(QStringLiteral("Save log..."), statusList_);
    saveLog->setObjectName(QStringLiteral("saveLogAction"));
    connect(saveLog, &QAction::triggered, this, [this] { SaveLog(); });
    statusList_->addAction(copyAll);
    statusList_->addAction(saveLog);
    // The window's own menu goes on below, About included.
    for (QAction* action : actions()) statusList_->addAction(action);
}

void MainDialog::CopyLog() {
    QGuiApplication::clipboard()->setText(QString::fromStdString(log_.Text()));
}

void MainDialog::SaveLog() {
    const QString chosen =
        AskSaveFileName(this, SaveLogRequest(session_->ImagePath(), PathSeparator()));
    if (chosen.isEmpty() || closing_) return;
    std::string whyNot;
    if (!SaveTextFile(ToLocalPath(chosen), log_.Text(), whyNot)) {
        ShowMessageBox(this, QString::fromStdString(whyNot));
    }
}

void MainDialog::Configure() {
    ConfigureValues values = session_->ReadConfigureValues();
    const std::string settingsPath = session_->CurrentSettings().settingsPath;
    SheetServices services;
    services.partSelected = [this](const std::string& part) { session_->SelectPart(part); };
    // A failed write leaves the file as it was; the value holds for this run.
    services.storeNow = StoreInSettingsFile(settingsPath);
    services.showHelp = [this] { helpRunner_(session_->CurrentSettings(), kSheetHelpPage); };
    if (!configureSheet_(this, values, services) || closing_) return;
    session_->ApplyConfiguration(values);
    runResetButton_->setText(QString::fromStdString(session_->RunResetCaption()));
}

QPushButton* MainDialog::Button(ButtonId id) const {
    switch (id) {
    case kStartButton: return startButton_;
    case kRunResetButton: return runResetButton_;
    case kConfigureButton: return configureButton_;
    }
    return nullptr;
}

void MainDialog::AddRow(const std::string& text) {
    const QString row = StatusRowText(text);
    log_.Add(row.toStdString(), UnixMsNow());
    auto* item = new QListWidgetItem(row);
    item->setToolTip(row);
    statusList_->addItem(item);
    // A status line closes the progress phase in hand.
    bar_.EndPhase();
    UpdateProgressBar();
}

void MainDialog::AddStatusLine(const std::string& text) {
    AddRow(text);
    // The new line becomes the fourth visible one; the bar's own limit
    // keeps the list from scrolling past its last line, so nothing moves
    // while every line fits.
    const int index = statusList_->count() - 1;
    statusList_->doItemsLayout();
    statusList_->verticalScrollBar()->setValue(std::max(0, index - 3));
}

void MainDialog::AppendStatusLine(const std::string& text) { AddRow(text); }

void MainDialog::SetProgressStep(int) {
    // The bar moves to each position it is given; a step is never taken.
}

void MainDialog::SetProgressRange(std::uint32_t upper) {
    bar_.SetRange(upper, ProgressBarState::Clock::now());
    UpdateProgressBar();
}

void MainDialog::SetProgressPos(std::uint32_t position) {
    bar_.SetPosition(position);
    UpdateProgressBar();
}

void MainDialog::SetProgressPhase(ProgressPhase phase) { bar_.SetPhase(phase); }

void MainDialog::UpdateProgressBar() {
    auto* bar = static_cast<PhaseProgressBar*>(progressBar_);
    // The text first: whoever watches the value sees the text that goes
    // with it.
    const std::string text = bar_.Text(ProgressBarState::Clock::now());
    bar->SetText(QString::fromStdString(text));
    bar->setTextVisible(!text.empty());
    bar->setRange(0, bar_.Maximum());
    bar->setValue(bar_.Value());
    // The result's colour comes from the style's own highlight, so that it
    // suits a dark palette as well as a light one.
    if (const std::optional<bool> passed = bar_.ResultPassed()) {
        QPalette palette = monitorGroup_->palette();
        palette.setColor(QPalette::Highlight,
                         FromRgb(ResultTint(ToRgb(palette.color(QPalette::Highlight)), *passed)));
        bar->setPalette(palette);
    } else if (bar->testAttribute(Qt::WA_SetPalette)) {
        bar->setPalette(QPalette());
    }
}

void MainDialog::ShowRunResult(const RunResult& result) {
    bar_.ShowResult(ResultBarText(result), result.Passed());
    UpdateProgressBar();
    if (tally_.Count(result)) {
        setWindowTitle(QString::fromStdString(tally_.Title("TALVEX")));
    }
}

void MainDialog::EnableButton(ButtonId id, bool enable) {
    if (QPushButton* button = Button(id)) button->setEnabled(enable);
}

void MainDialog::ShowMessage(const std::string& text) {
    ShowMessageBox(this, QString::fromStdString(text));
}

void MainDialog::EndWithResult(ExitCode code) { done(ToInt(code)); }

void MainDialog::UnattendedFailure(const std::string& text) {
    // The window shows nothing in an unattended run; the batch file's log
    // still learns what failed.
    std::fprintf(stderr, "talvex: %s\n", text.c_str());
}

} // namespace talvex::ui
