#pragma once
// Where an unattended run stands. The front end begins it; the worker moves
// it on. Every change is one of the named steps below, so that a step never
// undoes another one made at the same moment on the other thread.

#include <atomic>

namespace talvex {

enum class UnattendedMode : int {
    Interactive = 0,    // a user at the window; no result code is asked for
    Running = 1,        // unattended, the download in hand
    Finished = 2,       // unattended, nothing more to do
    RunStepPending = 3, // unattended, the run step still to make
};

class UnattendedSteps {
public:
    UnattendedMode Mode() const { return mode_.load(); }
    bool On() const { return Mode() != UnattendedMode::Interactive; }
    bool RunStepPending() const { return Mode() == UnattendedMode::RunStepPending; }

    // The front end starts an unattended run.
    void Begin() { mode_ = UnattendedMode::Running; }
    // The download ended well; whether a run step follows is decided next.
    void DownloadDone() { MoveIfUnattended(UnattendedMode::Finished); }
    // The download ended well and asks for the run step.
    void AskRunStep() { MoveIfUnattended(UnattendedMode::RunStepPending); }
    // The pending run step was made, or dropped: the run is finished. Only a
    // pending run step moves on; any other step stays as it is.
    void RunStepServed() {
        UnattendedMode pending = UnattendedMode::RunStepPending;
        mode_.compare_exchange_strong(pending, UnattendedMode::Finished);
    }

private:
    void MoveIfUnattended(UnattendedMode next) {
        UnattendedMode now = mode_.load();
        while (now != UnattendedMode::Interactive && !mode_.compare_exchange_weak(now, next)) {
        }
    }

    std::atomic<UnattendedMode> mode_{UnattendedMode::Interactive};
};

} // namespace talvex
