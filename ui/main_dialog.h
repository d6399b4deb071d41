#pragma once
// The main window: the file box, Browse, the status list, the progress bar,
// Start, Run/Reset, Configure and Exit, over one download session.
//
// The window draws; the session (shared with the console front end) holds
// everything else. The worker's window operations reach this object through
// QtWindowOps, so every IWindowOps member below runs on the window's thread.
//
// Closing (Exit, close box, Esc, Enter, or the result of an unattended run)
// hides the window at once and asks the worker to stop; exec() returns only
// once the worker has finished, while the event loop keeps serving it, so
// closing mid-download can neither deadlock nor draw on a window that is
// gone.

#include <QDialog>
#include <QIcon>
#include <chrono>
#include <functional>
#include <memory>

#include "config_sheet.h"
#include "download_session.h"
#include "image_glance.h"
#include "progress_bar_state.h"
#include "run_result.h"
#include "startup.h"
#include "status_log.h"
#include "window_ops.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace talvex::ui {

class QtWindowOps;

// The application icon in every size it ships in.
QIcon AppIcon();

// The results of the modal run besides an unattended run's result codes.
inline constexpr int kExitResult = -1;  // Exit button
inline constexpr int kOkResult = 1;     // Enter away from the push buttons
inline constexpr int kCancelResult = 2; // close box, Alt+F4, Esc

class MainDialog final : public QDialog, public IWindowOps {
    Q_OBJECT
public:
    explicit MainDialog(const StartupResult& startup, QWidget* parent = nullptr);
    ~MainDialog() override;

    // The modal run. Returns the result once the worker has finished.
    int exec() override;
    // Ends the modal run with r; the first request wins.
    void done(int r) override;
    void reject() override { done(kCancelResult); }
    void accept() override { done(kOkResult); }

    // After the window has closed without exec(): serves events until the
    // worker has finished. Returns at once when it has.
    void WaitForWorker();
    bool Closing() const { return closing_; }

    DownloadSession& Session() { return *session_; }

    // The configuration sheet Configure shows; tests put their own here.
    using ConfigureSheetRunner =
        std::function<bool(QWidget*, ConfigureValues&, const SheetServices&)>;
    void SetConfigureSheet(ConfigureSheetRunner runner) { configureSheet_ = std::move(runner); }
    // What F1 does with a help page name (QV_P.html, QVC_B.html); tests
    // record it instead of starting a browser.
    using HelpRunner = std::function<void(const Settings&, const std::string& page)>;
    void SetHelpRunner(HelpRunner runner) { helpRunner_ = std::move(runner); }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A HEX file dropped on the window is chosen as Browse chooses it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void ShowAbout();
    void Browse();
    // Browse's choice or a dropped file becomes the image and is stored.
    void ChooseImage(const std::string& path);
    void Configure();
    // The file box's tooltip: looked at again when the file has changed.
    void RefreshGlance();
    void ShowGlance(const ImageGlance& glance);
    void CopyLog();
    void SaveLog();
    void BuildLogMenu();
    // Closes any dialog this window has open (a message box, the
    // configuration sheet, the open-file dialog).
    void DismissOpenDialogs();
    void AddRow(const std::string& text);
    void UpdateProgressBar();
    QPushButton* Button(ButtonId id) const;

    // What the worker asks of the window, on the window's thread (tests
    // reach them through the IWindowOps base).
    void AddStatusLine(const std::string& text) override;
    void AppendStatusLine(const std::string& text) override;
    void SetProgressStep(int step) override;
    void SetProgressRange(std::uint32_t upper) override;
    void SetProgressPos(std::uint32_t position) override;
    void SetProgressPhase(ProgressPhase phase) override;
    void EnableButton(ButtonId id, bool enable) override;
    void ShowMessage(const std::string& text) override;
    void EndWithResult(ExitCode code) override;
    void UnattendedFailure(const std::string& text) override;
    void ShowRunResult(const RunResult& result) override;

    QPushButton* exitButton_ = nullptr;
    QLabel* fileLabel_ = nullptr;
    QLineEdit* fileBox_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QGroupBox* monitorGroup_ = nullptr;
    QListWidget* statusList_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* runResetButton_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPushButton* configureButton_ = nullptr;

    // The ops outlive the session: the worker calls them until it ends.
    QtWindowOps* ops_ = nullptr;
    std::unique_ptr<DownloadSession> session_;
    ConfigureSheetRunner configureSheet_;
    HelpRunner helpRunner_;

    bool opened_ = false;
    bool closing_ = false;

    ProgressBarState bar_;
    ResultTally tally_;
    StatusLog log_;
    // Reads on its own thread and posts here; it goes first, before
    // anything its notices reach.
    std::unique_ptr<ImageGlancer> glancer_;
};

} // namespace talvex::ui
