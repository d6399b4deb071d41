#include "thread_window_ops.h"

#include <cstdio>
#include <memory>

#include <windows.h>

#include "progress_model.h"

namespace talvex::win32 {
namespace {

constexpr UINT kSendCall = WM_APP + 1;
constexpr UINT kPostCall = WM_APP + 2;
constexpr UINT kWorkerDone = WM_APP + 3;
constexpr wchar_t kClassName[] = L"TalvexWorkerCalls";
constexpr UINT_PTR kDrainTimer = 1;

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
    case WM_TIMER:
        if (wParam == kDrainTimer) {
            if (auto* ops =
                    reinterpret_cast<ThreadWindowOps*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
                ops->DrainProgress();
            }
            return 0;
        }
        break;
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
    : target_(target), messageWindow_(MakeMessageWindow()), uiThread_(GetCurrentThreadId()) {
    const HWND hwnd = static_cast<HWND>(messageWindow_);
    if (hwnd == nullptr) return;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    // The bar is drawn at the pace a display is worth redrawing at, not
    // once per record: a wake-up per record through Wine's server or the
    // system's message queue slows the very download it shows.
    SetTimer(hwnd, kDrainTimer, static_cast<UINT>(kRedrawInterval.count()), nullptr);
}

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
        DrainProgress();
        f();
        return;
    }
    std::function<void()> call = [this, &f] {
        if (closed_.load()) return;
        DrainProgress();
        f();
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

void ThreadWindowOps::QueueProgress(ProgressOp op) {
    if (closed_.load()) return;
    std::lock_guard<std::mutex> lock(progressMutex_);
    if (op.kind == ProgressOp::Position && !progress_.empty() &&
        progress_.back().kind == ProgressOp::Position) {
        progress_.back() = op; // only the latest position is worth drawing
    } else {
        progress_.push_back(op);
    }
}

void ThreadWindowOps::DrainProgress() {
    std::vector<ProgressOp> ops;
    {
        std::lock_guard<std::mutex> lock(progressMutex_);
        ops.swap(progress_);
    }
    if (closed_.load()) return;
    for (const ProgressOp& op : ops) {
        switch (op.kind) {
        case ProgressOp::Step: target_.SetProgressStep(static_cast<int>(op.value)); break;
        case ProgressOp::Range: target_.SetProgressRange(op.value); break;
        case ProgressOp::Position: target_.SetProgressPos(op.value); break;
        case ProgressOp::Phase:
            target_.SetProgressPhase(static_cast<ProgressPhase>(op.value));
            break;
        }
    }
}

void ThreadWindowOps::AddStatusLine(const std::string& text) {
    Draw([this, &text] { target_.AddStatusLine(text); });
}

void ThreadWindowOps::AppendStatusLine(const std::string& text) {
    Draw([this, &text] { target_.AppendStatusLine(text); });
}

void ThreadWindowOps::SetProgressStep(int step) {
    QueueProgress({ProgressOp::Step, static_cast<std::uint32_t>(step)});
}

void ThreadWindowOps::SetProgressRange(std::uint32_t upper) {
    QueueProgress({ProgressOp::Range, upper});
}

void ThreadWindowOps::SetProgressPos(std::uint32_t position) {
    QueueProgress({ProgressOp::Position, position});
}

void ThreadWindowOps::SetProgressPhase(ProgressPhase phase) {
    QueueProgress({ProgressOp::Phase, static_cast<std::uint32_t>(phase)});
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
