#pragma once
// Carries the worker's window operations over to the window's thread.
//
// The worker may call from its own thread at any time; the window must only
// be drawn on from its thread. Each drawing operation and the message box
// run there while the worker waits, so lines appear in the order the worker
// adds them. A result and the end of the worker are posted without waiting.
// Calls made on the window's thread itself (the session's own lines) run at
// once.
//
// Once the window closes, the worker's gate lets nothing new through, but a
// call that passed the gate just before may still be on its way: Close()
// makes those arrive as no-ops, so a closing window is never drawn on.

#include <QObject>
#include <atomic>
#include <functional>

#include "window_ops.h"

namespace talvex::ui {

class QtWindowOps final : public QObject, public IWindowOps {
    Q_OBJECT
public:
    // target does the drawing and lives on this object's thread, which
    // must be the window's thread; both must outlive the worker.
    explicit QtWindowOps(IWindowOps& target, QObject* parent = nullptr);

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
    void RunRecordFailed(const std::string& text) override;
    void ShowRunResult(const RunResult& result) override;
    void WorkerFinished() override;

    // From now on every operation that reaches the window's thread is
    // dropped, except the end of the worker. Window's thread only.
    void Close();
    bool Closed() const { return closed_.load(); }

signals:
    // The worker's loop has ended; queued to the window's thread.
    void workerFinished();

private:
    // Runs f on the window's thread and returns once it has run (or has
    // been dropped because the window closed).
    void Draw(std::function<void()> f);
    void Post(std::function<void()> f);

    IWindowOps& target_;
    std::atomic<bool> closed_{false};
};

} // namespace talvex::ui
