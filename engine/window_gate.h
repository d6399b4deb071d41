#pragma once
// Stands between the worker and its front end. Once a stop was asked for,
// nothing more reaches the front end, so a window that is closing is never
// drawn on and never waited for.

#include <atomic>

#include "window_ops.h"

namespace talvex {

class WindowGate final : public IWindowOps {
public:
    WindowGate(IWindowOps& target, const std::atomic<bool>& stop) : target_(target), stop_(stop) {}

    void AddStatusLine(const std::string& text) override {
        if (Open()) target_.AddStatusLine(text);
    }
    void AppendStatusLine(const std::string& text) override {
        if (Open()) target_.AppendStatusLine(text);
    }
    void SetProgressStep(int step) override {
        if (Open()) target_.SetProgressStep(step);
    }
    void SetProgressRange(std::uint32_t upper) override {
        if (Open()) target_.SetProgressRange(upper);
    }
    void SetProgressPos(std::uint32_t position) override {
        if (Open()) target_.SetProgressPos(position);
    }
    void SetProgressPhase(ProgressPhase phase) override {
        if (Open()) target_.SetProgressPhase(phase);
    }
    void EnableButton(ButtonId id, bool enable) override {
        if (Open()) target_.EnableButton(id, enable);
    }
    void ShowMessage(const std::string& text) override {
        if (Open()) target_.ShowMessage(text);
    }
    void EndWithResult(ExitCode code) override {
        if (Open()) target_.EndWithResult(code);
    }
    void UnattendedFailure(const std::string& text) override {
        if (Open()) target_.UnattendedFailure(text);
    }
    // The one notice that passes a closed gate: the front end waits for it.
    void WorkerFinished() override { target_.WorkerFinished(); }

private:
    bool Open() const { return !stop_.load(); }

    IWindowOps& target_;
    const std::atomic<bool>& stop_;
};

} // namespace talvex
