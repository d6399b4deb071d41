#pragma once
// Carries the worker's window operations over to the window's thread through
// a message-only window of its own.
//
// Status lines, buttons and the message box are sent: they run on the
// window's thread while the worker waits, so lines appear in the order the
// worker adds them. Progress is not worth a round trip to the window's
// thread per record (under load that trip costs more than the record's
// frame): it is queued, successive positions folded into one, and drawn
// at the redraw interval and always before the next sent operation, so the
// bar and the lines keep their order. That wait cannot deadlock: the window's thread never
// waits for the worker without serving sent messages (a modal loop, a
// message box, or the loop after closing all do). A result and the end of
// the worker are posted without waiting. Calls made on the window's thread
// itself (the session's own lines) run at once.
//
// Once the window closes, nothing that reaches the window's thread is drawn
// any more (Close), but the message window stays until this object goes, so
// a worker that passed the session's gate just before is still answered.

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "window_ops.h"

namespace talvex::win32 {

class ThreadWindowOps final : public IWindowOps {
public:
    // Made on the window's thread; target draws there and must outlive the
    // worker, as must this object.
    explicit ThreadWindowOps(IWindowOps& target);
    ~ThreadWindowOps() override;
    ThreadWindowOps(const ThreadWindowOps&) = delete;
    ThreadWindowOps& operator=(const ThreadWindowOps&) = delete;

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
    void WorkerFinished() override;

    // From now on every operation that reaches the window's thread is
    // dropped. Window's thread only.
    void Close() { closed_ = true; }
    // True once the worker has told that it ended.
    bool WorkerDone() const { return workerDone_.load(); }
    // Window's thread: draws the queued progress in order.
    void DrainProgress();

private:
    struct ProgressOp {
        enum Kind { Step, Range, Position, Phase } kind;
        std::uint32_t value;
    };

    void Draw(std::function<void()> f);
    void Post(std::function<void()> f);
    void QueueProgress(ProgressOp op);

    IWindowOps& target_;
    void* messageWindow_ = nullptr; // HWND
    unsigned long uiThread_ = 0;
    std::atomic<bool> closed_{false};
    std::atomic<bool> workerDone_{false};

    std::mutex progressMutex_;
    std::vector<ProgressOp> progress_;
};

} // namespace talvex::win32
