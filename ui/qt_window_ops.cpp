#include "qt_window_ops.h"

#include <QThread>
#include <cstdio>

#include "run_result.h"

namespace talvex::ui {

QtWindowOps::QtWindowOps(IWindowOps& target, QObject* parent) : QObject(parent), target_(target) {}

void QtWindowOps::Draw(std::function<void()> f) {
    if (closed_.load()) return;
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    // A blocking queued call cannot deadlock here: the window's thread never
    // waits for the worker, and if this object goes before the call is
    // delivered, Qt releases the waiting worker as the call is discarded.
    QMetaObject::invokeMethod(
        this,
        [this, f = std::move(f)] {
            if (!closed_.load()) f();
        },
        Qt::BlockingQueuedConnection);
}

void QtWindowOps::Post(std::function<void()> f) {
    QMetaObject::invokeMethod(
        this,
        [this, f = std::move(f)] {
            if (!closed_.load()) f();
        },
        Qt::QueuedConnection);
}

void QtWindowOps::AddStatusLine(const std::string& text) {
    Draw([this, text] { target_.AddStatusLine(text); });
}

void QtWindowOps::AppendStatusLine(const std::string& text) {
    Draw([this, text] { target_.AppendStatusLine(text); });
}

void QtWindowOps::SetProgressStep(int step) {
    Draw([this, step] { target_.SetProgressStep(step); });
}

void QtWindowOps::SetProgressRange(std::uint32_t upper) {
    Draw([this, upper] { target_.SetProgressRange(upper); });
}

void QtWindowOps::SetProgressPos(std::uint32_t position) {
    Draw([this, position] { target_.SetProgressPos(position); });
}

void QtWindowOps::SetProgressPhase(ProgressPhase phase) {
    Draw([this, phase] { target_.SetProgressPhase(phase); });
}

void QtWindowOps::EnableButton(ButtonId id, bool enable) {
    Draw([this, id, enable] { target_.EnableButton(id, enable); });
}

void QtWindowOps::ShowMessage(const std::string& text) {
    // The box runs its own event loop on the window's thread, so the window
    // stays alive (and can be closed) while the worker waits for the OK.
    Draw([this, text] { target_.ShowMessage(text); });
}

void QtWindowOps::EndWithResult(ExitCode code) {
    Post([this, code] { target_.EndWithResult(code); });
}

void QtWindowOps::UnattendedFailure(const std::string& text) {
    Draw([this, text] { target_.UnattendedFailure(text); });
}

void QtWindowOps::RunRecordFailed(const std::string& text) {
    // Told on the worker, also after a stop, when the window may already be
    // gone: the text goes to stderr at once, for the batch file's log, and
    // into the status list while the window is still there. Never waits.
    std::fprintf(stderr, "talvex: %s\n", text.c_str());
    std::fflush(stderr);
    Post([this, text] { target_.AppendStatusLine(text); });
}

void QtWindowOps::ShowRunResult(const RunResult& result) {
    Draw([this, result] { target_.ShowRunResult(result); });
}

void QtWindowOps::WorkerFinished() {
    // Called on the worker as its last act: post, never wait.
    QMetaObject::invokeMethod(
        this, [this] { emit workerFinished(); }, Qt::QueuedConnection);
}

void QtWindowOps::Close() { closed_ = true; }

} // namespace talvex::ui
