#include "main_window.h"

#include <algorithm>
#include <climits>
#include <tuple>
#include <cstdio>

#include <windows.h>
#include <commctrl.h>

#include "config_sheet.h"
#include "console_interrupt.h"
#include "file_dialog.h"
#include "front_texts.h"
#include "help_launcher.h"
#include "line_database_choice.h"
#include "progress_bar_state.h"
#include "progress_model.h"
#include "resource_ids.h"
#include "system_error_text.h"
#include "utf16_win32.h"

namespace talvex::win32 {
namespace {

constexpr UINT_PTR kProgressTextSubclass = 1;
// Ctrl+C or Ctrl+Break in the console talvex.exe was started from.
constexpr UINT kInterruptMessage = WM_APP + 2;

HWND Handle(void* hwnd) { return static_cast<HWND>(hwnd); }

// A window's device context, released when the scope ends.
class WindowDc {
public:
    explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
    ~WindowDc() {
        if (dc_ != nullptr) ReleaseDC(hwnd_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC Get() const { return dc_; }

private:
    HWND hwnd_;
    HDC dc_;
};

// The common progress bar draws no text; ours names the phase and the time
// left over the bar, from the text the window keeps in the control (where a
// test or a screen reader can read it as well).
LRESULT CALLBACK ProgressTextProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR) {
    switch (message) {
    case WM_PAINT: {
        const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);
        wchar_t text[128];
        const int length = GetWindowTextW(hwnd, text, static_cast<int>(std::size(text)));
        if (length > 0) {
            WindowDc dc(hwnd);
            if (dc.Get() != nullptr) {
                RECT rect;
                GetClientRect(hwnd, &rect);
                const auto font = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
                const HGDIOBJ old = font != nullptr ? SelectObject(dc.Get(), font) : nullptr;
                SetBkMode(dc.Get(), TRANSPARENT);
                DrawTextW(dc.Get(), text, length, &rect,
                          DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
                if (old != nullptr) SelectObject(dc.Get(), old);
            }
        }
        return result;
    }
    case WM_SETTEXT: {
        const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);
        InvalidateRect(hwnd, nullptr, TRUE);
        return result;
    }
    case WM_NCDESTROY: RemoveWindowSubclass(hwnd, ProgressTextProc, kProgressTextSubclass); break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    auto* window = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (window == nullptr) return FALSE;
    return static_cast<INT_PTR>(window->HandleMessage(hwnd, message, wParam, lParam));
}

// Closes what this window has open over it (a message box, the open-file
// dialog): they would otherwise keep the modal run going after its end.
BOOL CALLBACK DismissOwned(HWND hwnd, LPARAM owner) {
    if (GetWindow(hwnd, GW_OWNER) == reinterpret_cast<HWND>(owner) && IsWindowVisible(hwnd)) {
        PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    }
    return TRUE;
}

} // namespace

MainWindow::MainWindow(const StartupResult& startup) : startup_(startup) {}

MainWindow::~MainWindow() {
    closing_ = true;
    StopWatchingConsoleInterrupts();
    WaitForWorker();
    session_.reset();
    ops_.reset();
}

int MainWindow::Run() {
    const INT_PTR result =
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(TALVEX_MAIN_DIALOG), nullptr,
                        DialogProc, reinterpret_cast<LPARAM>(this));
    if (result == -1 && !closing_) {
        std::fprintf(stderr, "talvex: the window cannot be opened: %s\n",
                     SystemErrorText(GetLastError()).c_str());
    }
    WaitForWorker();
    return static_cast<int>(result);
}

void MainWindow::Done(int result) {
    if (closing_ || hwnd_ == nullptr) return;
    closing_ = true;
    StopWatchingConsoleInterrupts();
    // Nothing the worker still has on its way is drawn any more, and the
    // worker stops at its next step; a box over the window is closed.
    ops_->Close();
    session_->RequestStop();
    EnumThreadWindows(GetCurrentThreadId(), DismissOwned, reinterpret_cast<LPARAM>(hwnd_));
    EndDialog(Handle(hwnd_), result);
}

void MainWindow::WaitForWorker() {
    if (!session_ || session_->Finished()) return;
    ops_->Close();
    session_->RequestStop();
    // The worker may be waiting in a sent call: serve those until it ends.
    // The slice only guards against a notice that came between the check
    // and the wait.
    while (!session_->Finished() && !ops_->WorkerDone()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

long long MainWindow::HandleMessage(void* hwnd, unsigned message, unsigned long long wParam,
                                    long long lParam) {
    switch (message) {
    case WM_INITDIALOG: Opened(hwnd); return TRUE; // the focus goes to the first tab stop, Exit
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) Command(LOWORD(wParam));
        return TRUE;
    case WM_HELP:
        // The configuration sheet hands on an F1 that none of its pages
        // took (on its tabs or buttons) to its owner: that one is nobody's.
        if (const auto* info = reinterpret_cast<const HELPINFO*>(lParam);
            info == nullptr || info->hItemHandle == hwnd ||
            IsChild(Handle(hwnd), static_cast<HWND>(info->hItemHandle))) {
            ShowHelp(kMainHelpPage);
        }
        SetWindowLongPtrW(Handle(hwnd), DWLP_MSGRESULT, TRUE);
        return TRUE;
    case kInterruptMessage:
        // As talvex-cli ends at Ctrl+C: the worker stopped, the port closed.
        Done(ToInt(ExitCode::Interrupted));
        return TRUE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == TALVEX_ABOUT_COMMAND) {
            ShowAbout();
            return TRUE;
        }
        return FALSE;
    case WM_PAINT:
        if (IsIconic(Handle(hwnd))) {
            // Minimised, the window shows its icon centred.
            PAINTSTRUCT paint;
            const HDC dc = BeginPaint(Handle(hwnd), &paint);
            RECT rect;
            GetClientRect(Handle(hwnd), &rect);
            const auto icon =
                reinterpret_cast<HICON>(SendMessageW(Handle(hwnd), WM_GETICON, ICON_BIG, 0));
            if (icon != nullptr) {
                DrawIcon(dc, (rect.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
                         (rect.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, icon);
            }
            EndPaint(Handle(hwnd), &paint);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

void MainWindow::Opened(void* hwnd) {
    hwnd_ = hwnd;
    const HWND dialog = Handle(hwnd);
    const HINSTANCE instance = GetModuleHandleW(nullptr);

    // The About entry, unless its text is empty. LoadStringW with no buffer
    // hands out the resource's own text, which needs no freeing.
    const wchar_t* about = nullptr;
    const int aboutLength =
        LoadStringW(instance, TALVEX_ABOUT_STRING, reinterpret_cast<LPWSTR>(&about), 0);
    if (aboutLength > 0) {
        if (HMENU menu = GetSystemMenu(dialog, FALSE)) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(menu, MF_STRING, TALVEX_ABOUT_COMMAND,
                        std::wstring(about, static_cast<std::size_t>(aboutLength)).c_str());
        }
    }

    // Shared icons belong to the system: nothing to destroy.
    for (const auto& [kind, width, height] : {std::tuple{ICON_BIG, SM_CXICON, SM_CYICON},
                                              std::tuple{ICON_SMALL, SM_CXSMICON, SM_CYSMICON}}) {
        const HANDLE icon =
            LoadImageW(instance, MAKEINTRESOURCEW(TALVEX_ICON), IMAGE_ICON, GetSystemMetrics(width),
                       GetSystemMetrics(height), LR_SHARED);
        if (icon != nullptr) SendMessageW(dialog, WM_SETICON, kind, reinterpret_cast<LPARAM>(icon));
    }

    const HWND bar = GetDlgItem(dialog, TALVEX_PROGRESS_BAR);
    SetWindowSubclass(bar, ProgressTextProc, kProgressTextSubclass, 0);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);
    SendMessageW(bar, PBM_SETPOS, 0, 0);

    ops_ = std::make_unique<ThreadWindowOps>(*this);
    session_ = std::make_unique<DownloadSession>(*ops_, startup_);
    AttachLineDatabase(*session_, *ops_);
    SetDlgItemTextW(dialog, TALVEX_FILE_BOX, WideFromUtf8(session_->ImagePath()).c_str());
    SetDlgItemTextW(dialog, TALVEX_RUN_RESET_BUTTON,
                    WideFromUtf8(session_->RunResetCaption()).c_str());
    WatchConsoleInterrupts(hwnd, kInterruptMessage);
    // The opening lines, and in an unattended run the start.
    session_->Open();
}

void MainWindow::Command(int id) {
    switch (id) {
    case IDOK: Done(kOkResult); break;
    case IDCANCEL: Done(kCancelResult); break;
    case TALVEX_EXIT_BUTTON: Done(kExitResult); break;
    case TALVEX_START_BUTTON:
        if (!closing_) session_->Start();
        break;
    case TALVEX_RUN_RESET_BUTTON:
        if (!closing_) session_->RunReset();
        break;
    case TALVEX_BROWSE_BUTTON: Browse(); break;
    case TALVEX_CONFIGURE_BUTTON: Configure(); break;
    }
}

void MainWindow::Browse() {
    const std::string chosen =
        AskOpenFileName(hwnd_, ImageBrowseRequest(session_->ImagePath(), PathSeparator()));
    if (!chosen.empty() && !closing_) session_->ChooseImage(chosen);
    if (!closing_) {
        SetDlgItemTextW(Handle(hwnd_), TALVEX_FILE_BOX,
                        WideFromUtf8(session_->ImagePath()).c_str());
    }
}

void MainWindow::Configure() {
    if (closing_) return;
    ConfigureValues values = session_->ReadConfigureValues();
    SheetServices services;
    services.partSelected = [this](const std::string& part) { session_->SelectPart(part); };
    // A failed write leaves the file as it was; the value holds for this run.
    services.storeNow = StoreInSettingsFile(session_->CurrentSettings().settingsPath);
    services.showHelp = [this] { ShowHelp(kSheetHelpPage); };
    std::string problem;
    const SheetOutcome outcome = RunConfigureSheet(hwnd_, values, services, problem);
    if (closing_) return;
    if (outcome == SheetOutcome::Failed) {
        AddStatusLine("    The configuration sheet cannot be opened: " + problem);
        return;
    }
    if (outcome != SheetOutcome::Accepted) return;
    session_->ApplyConfiguration(values);
    SetDlgItemTextW(Handle(hwnd_), TALVEX_RUN_RESET_BUTTON,
                    WideFromUtf8(session_->RunResetCaption()).c_str());
}

void MainWindow::ShowHelp(const char* page) {
    const HelpOpening opening = OpenHelpPage(session_->CurrentSettings(), page);
    const std::string line = HelpOpeningLine(opening);
    if (!line.empty()) AddStatusLine(line);
}

void MainWindow::ShowAbout() {
    const std::wstring text =
        WideFromUtf8(std::string("TALVEX ") + TALVEX_VERSION +
                     "\n\nPrograms the flash of ZaRQ microcontrollers through their serial "
                     "bootloader.");
    MessageBoxW(Handle(hwnd_), text.c_str(), L"About TALVEX", MB_OK | MB_ICONINFORMATION);
}

void MainWindow::AddRow(const std::string& text) {
    const HWND list = GetDlgItem(Handle(hwnd_), TALVEX_STATUS_LIST);
    const std::wstring row = WideFromUtf8(StatusRowUtf8(text));
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
    // A line wider than the list (a long path in a message) can be
    // scrolled to rather than cut off.
    WindowDc dc(list);
    if (dc.Get() != nullptr) {
        const auto font = reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0));
        const HGDIOBJ old = font != nullptr ? SelectObject(dc.Get(), font) : nullptr;
        SIZE size{};
        if (GetTextExtentPoint32W(dc.Get(), row.c_str(), static_cast<int>(row.size()), &size)) {
            const int extent = size.cx + 2 * GetSystemMetrics(SM_CXEDGE);
            if (extent > static_cast<int>(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0))) {
                SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(extent), 0);
            }
        }
        if (old != nullptr) SelectObject(dc.Get(), old);
    }
    // A status line closes the progress phase in hand.
    bar_.EndPhase();
    UpdateProgressBar();
}

void MainWindow::AddStatusLine(const std::string& text) {
    AddRow(text);
    // The new line becomes the fourth visible one, but the list never
    // scrolls past its last line: nothing moves while every line fits.
    const HWND list = GetDlgItem(Handle(hwnd_), TALVEX_STATUS_LIST);
    const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    const int rowHeight = std::max(1, static_cast<int>(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0)));
    RECT client;
    GetClientRect(list, &client);
    const int visible = std::max(1, static_cast<int>(client.bottom / rowHeight));
    const int top = std::max(0, std::min(count - 1 - 3, count - visible));
    SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
}

void MainWindow::AppendStatusLine(const std::string& text) { AddRow(text); }

void MainWindow::SetProgressStep(int) {
    // The bar moves to each position it is given; a step is never taken.
}

void MainWindow::SetProgressRange(std::uint32_t upper) {
    bar_.SetRange(upper, ProgressBarState::Clock::now());
    UpdateProgressBar();
}

void MainWindow::SetProgressPos(std::uint32_t position) {
    bar_.SetPosition(position);
    UpdateProgressBar();
}

void MainWindow::SetProgressPhase(ProgressPhase phase) { bar_.SetPhase(phase); }

void MainWindow::UpdateProgressBar() {
    const HWND bar = GetDlgItem(Handle(hwnd_), TALVEX_PROGRESS_BAR);
    // The text first: whoever watches the value sees the text that goes
    // with it.
    const std::wstring text = WideFromUtf8(bar_.Text(ProgressBarState::Clock::now()));
    wchar_t shown[128];
    GetWindowTextW(bar, shown, static_cast<int>(std::size(shown)));
    if (text != shown) SetWindowTextW(bar, text.c_str());
    SendMessageW(bar, PBM_SETRANGE32, 0, bar_.Maximum());
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(bar_.Value()), 0);
}

void MainWindow::EnableButton(ButtonId id, bool enable) {
    if (const HWND button = GetDlgItem(Handle(hwnd_), id)) EnableWindow(button, enable);
}

void MainWindow::ShowMessage(const std::string& text) {
    MessageBoxW(Handle(hwnd_), WideFromUtf8(text).c_str(), L"TALVEX", MB_OK);
}

void MainWindow::EndWithResult(ExitCode code) { Done(ToInt(code)); }

void MainWindow::UnattendedFailure(const std::string& text) {
    // The window shows nothing in an unattended run; the batch file's log
    // still learns what failed.
    std::fprintf(stderr, "talvex: %s\n", text.c_str());
    std::fflush(stderr);
}

} // namespace talvex::win32
