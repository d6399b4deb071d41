#include "thread_window_ops.h"

#include <cstdio>
#include <memory>

#include <windows.h>

namespace talvex::win32 {
namespace {

constexpr UINT kSendCall = WM_APP + 1;
constexpr UINT kPostCall = WM_APP + 2;
constexpr UINT kWorkerDone = WM_APP + 3;
constexpr wchar_t kClassName[] = L"TalvexWorkerCalls";

struct Call {
    ThreadWindowOps* owner;
    std::function<void()> f;
};

LRESULT CALLBACK CallWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kSendCall: (*reinterpret_cast<std::function<void()>*>(lParam))(); return 0;
    case kPostCall: {
        std::unique_ptr<std::function<void()>> f(reinterpret_cast<std::function<void()>*>(lParam));
        (*f)();
        return 0;
    }
    case kWorkerDone:
        // Only wakes the loop that waits for the worker; the flag says it.
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND MakeMessageWindow() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = CallWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc); // a second window finds the class already there
    return CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                           nullptr);
}

} // namespace

ThreadWindowOps::ThreadWindowOps(IWindowOps& target)
    : target_(target), messageWindow_(MakeMessageWindow()), uiThread_(GetCurrentThreadId()) {}

ThreadWindowOps::~ThreadWindowOps() {
    const HWND hwnd = static_cast<HWND>(messageWindow_);
    if (hwnd == nullptr) return;
    // Posted calls still queued would otherwise leak their closures.
    MSG msg;
    while (PeekMessageW(&msg, hwnd, kPostCall, kPostCall, PM_REMOVE)) {
        delete reinterpret_cast<std::function<void()>*>(msg.lParam);
    }
    DestroyWindow(hwnd);
}

void ThreadWindowOps::Draw(std::function<void()> f) {
    if (closed_.load()) return;
    if (GetCurrentThreadId() == uiThread_) {
        f();
        return;
    }
    std::function<void()> call = [this, &f] {
        if (!closed_.load()) f();
    };
    SendMessageW(static_cast<HWND>(messageWindow_), kSendCall, 0, reinterpret_cast<LPARAM>(&call));
}

void ThreadWindowOps::Post(std::function<void()> f) {
    auto* call = new std::function<void()>([this, f = std::move(f)] {
        if (!closed_.load()) f();
    });
    if (!PostMessageW(static_cast<HWND>(messageWindow_), kPostCall, 0,
                      reinterpret_cast<LPARAM>(call))) {
        delete call;
    }
}

void ThreadWindowOps::AddStatusLine(const std::string& text) {
    Draw([this, &text] { target_.AddStatusLine(text); });
}

void ThreadWindowOps::AppendStatusLine(const std::string& text) {
    Draw([this, &text] { target_.AppendStatusLine(text); });
}

void ThreadWindowOps::SetProgressStep(int step) {
    Draw([this, step] { target_.SetProgressStep(step); });
}

void ThreadWindowOps::SetProgressRange(std::uint32_t upper) {
    Draw([this, upper] { target_.SetProgressRange(upper); });
}

void ThreadWindowOps::SetProgressPos(std::uint32_t position) {
    Draw([this, position] { target_.SetProgressPos(position); });
}

void ThreadWindowOps::SetProgressPhase(ProgressPhase phase) {
    Draw([this, phase] { target_.SetProgressPhase(phase); });
}

void ThreadWindowOps::EnableButton(ButtonId id, bool enable) {
    Draw([this, id, enable] { target_.EnableButton(id, enable); });
}

void ThreadWindowOps::ShowMessage(const std::string& text) {
    // The box runs its own message loop on the window's thread, so the
    // window stays alive while the worker waits for the OK.
    Draw([this, &text] { target_.ShowMessage(text); });
}

void ThreadWindowOps::EndWithResult(ExitCode code) {
    Post([this, code] { target_.EndWithResult(code); });
}

void ThreadWindowOps::UnattendedFailure(const std::string& text) {
    Draw([this, &text] { target_.UnattendedFailure(text); });
}

void ThreadWindowOps::RunRecordFailed(const std::string& text) {
    // Told on the worker, also after a stop: the text goes to stderr at
    // once, for the batch file's log, and into the status list while the
    // window is still there. Never waits.
    std::fprintf(stderr, "talvex: %s\n", text.c_str());
    std::fflush(stderr);
    Post([this, text] { target_.AppendStatusLine(text); });
}

void ThreadWindowOps::WorkerFinished() {
    // The worker's last act: post, never wait.
    workerDone_ = true;
    PostMessageW(static_cast<HWND>(messageWindow_), kWorkerDone, 0, 0);
}

} // namespace talvex::win32
