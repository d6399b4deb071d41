#pragma once
// What the download worker may ask of its front end. The window carries each
// operation out on its own thread before returning; the console prints.

#include <cstdint>
#include <string>

#include "result_code.h"

namespace talvex {

struct RunResult;

enum ButtonId : int {
    kStartButton = 1002,
    kRunResetButton = 1007,
    kConfigureButton = 1029,
};

// Which work a progress range that follows belongs to, so that a front end
// can label it without reading status texts.
enum class ProgressPhase { Erase, Write, Verify, Protect };

class IWindowOps {
public:
    virtual ~IWindowOps() = default;
    // A new status line, scrolled so that it is the fourth visible one.
    virtual void AddStatusLine(const std::string& text) = 0;
    // A new status line without the scroll step.
    virtual void AppendStatusLine(const std::string& text) = 0;
    virtual void SetProgressStep(int step) = 0;
    virtual void SetProgressRange(std::uint32_t upper) = 0;
    virtual void SetProgressPos(std::uint32_t position) = 0;
    // Told before the range of each phase; the phase lasts until the next
    // one or until the end of the download (position 0 after it).
    virtual void SetProgressPhase(ProgressPhase phase) { (void)phase; }
    virtual void EnableButton(ButtonId id, bool enable) = 0;
    // A message with an OK button; returns once the user has closed it.
    virtual void ShowMessage(const std::string& text) = 0;
    // Ends the run with the code. The worker asks for it at most once per
    // run; it returns at once.
    virtual void EndWithResult(ExitCode code) = 0;
    // In an unattended run a failure shows no message; a console front end
    // still wants its text for the operator.
    virtual void UnattendedFailure(const std::string& text) { (void)text; }
    // A run record line could not be written; the run's result stands.
    // Called on the worker's thread, also after a stop (the record of a run
    // cut short is written then), so a window must only post from here.
    virtual void RunRecordFailed(const std::string& text) { (void)text; }
    // A run has ended with this result (never one a stop cut short). Called
    // on the worker's thread, like the drawing operations, after the run's
    // last status line.
    virtual void ShowRunResult(const RunResult& result) { (void)result; }
    // The worker's loop has ended: nothing more will be asked. Called on the
    // worker's thread as its very last act, so a front end must only post a
    // notice from here, never wait for its own thread.
    virtual void WorkerFinished() {}
};

} // namespace talvex
