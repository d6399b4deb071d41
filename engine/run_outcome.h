#pragma once
// How the run in hand stands: whether its last step failed, whether a stop or
// a given result cut it short, the code and first failure text its record
// gets, and whether the front end was asked for its result. The rules that
// tie these together live here, so that every step of the worker obeys the
// same ones. Only the worker's thread changes anything but the result flag.

#include <atomic>
#include <optional>
#include <string>

#include "command_frame.h"
#include "result_code.h"

namespace talvex {

class RunOutcome {
public:
    explicit RunOutcome(const std::atomic<bool>& stop) : stop_(stop) {}
    RunOutcome(const RunOutcome&) = delete;
    RunOutcome& operator=(const RunOutcome&) = delete;

    // --- The step in hand.

    // Identification starts with nothing failed.
    void ClearStep() { score_ = 0; }
    // A flash sequence starts with nothing failed and nothing cut short.
    void BeginSequence() {
        score_ = 0;
        abandoned_ = false;
    }
    // The score the link gave the frame just sent.
    void FrameAnswered(int score) { score_ = score; }
    // A step failed without a frame to blame (a refused record, a changed
    // file, answers out of step).
    void StepFailed() { score_ = kNeverAcknowledged; }
    // The last frame was never acknowledged, or a step failed outright.
    bool Failed() const { return !Acknowledged(score_); }

    // True while the sequence may go on. Once a stop or a result was asked
    // for it may not, and the sequence counts as cut short from then on, so
    // that it can never end with "Flashing Complete.". After a result nothing
    // more may go to the target: the front end may end the process at any
    // moment.
    bool ProceedOrAbandon() {
        if (!stop_.load() && !resultAsked_.load()) return true;
        abandoned_ = true;
        return false;
    }
    bool CutShort() const { return abandoned_; }

    // --- The run's record.

    void BeginRun() {
        code_.reset();
        firstFailure_.clear();
    }
    // The run's outcome as far as it is known: a failure stays, a success may
    // still become the failure of the run step. What fails after a stop fails
    // because of it, and is not noted.
    void Note(ExitCode code) {
        if (stop_.load()) return;
        if (!code_ || *code_ == ExitCode::Success) code_ = code;
    }
    // The text of the run's first failure; later ones, and those a stop
    // brought about, do not replace it.
    void NoteFailureText(const std::string& text) {
        if (firstFailure_.empty() && !stop_.load()) firstFailure_ = text;
    }
    bool HasFailed() const { return code_ && *code_ != ExitCode::Success; }
    // The code the record gets. Without a success or a failure of its own, a
    // run ended by a stop was cut short; "Flash error." after a stop is only
    // the way out.
    ExitCode RecordedCode() const {
        const ExitCode code = code_.value_or(ExitCode::FlashError);
        if (stop_.load() && (!code_ || code == ExitCode::Success || code == ExitCode::FlashError)) {
            return ExitCode::Interrupted;
        }
        return code;
    }
    const std::string& FirstFailure() const { return firstFailure_; }

    // --- The result the front end is asked for.

    // True only for the first call since the last new request: the first
    // code of a run is its result, and the front end hears it once.
    bool AskResult() { return !resultAsked_.exchange(true); }
    bool ResultAsked() const { return resultAsked_.load(); }
    // A new Start, or a Run/Reset of an interactive run: a result may be
    // asked for again.
    void NewRequest() { resultAsked_ = false; }

private:
    const std::atomic<bool>& stop_;
    int score_ = 0;
    bool abandoned_ = false;
    std::optional<ExitCode> code_;
    std::string firstFailure_;
    std::atomic<bool> resultAsked_{false};
};

} // namespace talvex
