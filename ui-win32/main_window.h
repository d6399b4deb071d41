#pragma once
// The main window as a dialog of the Windows dialog manager: the file box,
// Browse, the status list, the progress bar, Start, Run/Reset, Configure and
// Exit, over one download session.
//
// The window draws and forwards; the session (shared with the other front
// ends) holds everything else. The worker's window operations reach this
// object through ThreadWindowOps, so every IWindowOps member below runs on
// the window's thread.
//
// Closing (Exit, close box, Esc, Enter, or the result of an unattended run)
// ends the dialog at once and asks the worker to stop; Run() returns only
// once the worker has finished, while the thread keeps serving its sent
// calls, so closing mid-download can neither deadlock nor draw on a window
// that is gone.

#include <memory>
#include <string>

#include "download_session.h"
#include "progress_bar_state.h"
#include "startup.h"
#include "thread_window_ops.h"
#include "window_ops.h"

namespace talvex::win32 {

// The results of the modal run besides an unattended run's result codes.
inline constexpr int kExitResult = -1;  // Exit button
inline constexpr int kOkResult = 1;     // Enter away from the push buttons
inline constexpr int kCancelResult = 2; // close box, Alt+F4, Esc

class MainWindow final : public IWindowOps {
public:
    explicit MainWindow(const StartupResult& startup);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // The modal run. Returns the result once the worker has finished.
    int Run();
    // Ends the modal run with result; the first request wins.
    void Done(int result);

    // What the dialog manager hands the window; public for its callback.
    long long HandleMessage(void* hwnd, unsigned message, unsigned long long wParam,
                            long long lParam);

private:
    void Opened(void* hwnd);
    void Command(int id);
    void Browse();
    void Configure();
    void ShowHelp(const char* page);
    void ShowAbout();
    void AddRow(const std::string& text);
    void UpdateProgressBar();
    void WaitForWorker();

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

    StartupResult startup_;
    void* hwnd_ = nullptr; // HWND of the dialog while it is open
    std::unique_ptr<ThreadWindowOps> ops_;
    std::unique_ptr<DownloadSession> session_;
    bool closing_ = false;

    ProgressBarState bar_;
};

} // namespace talvex::win32
