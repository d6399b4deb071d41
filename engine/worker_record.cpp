// The worker's side of the run record and of the bounded identification
// wait: small steps the loop, the identification and the flash sequence
// call as they go.

#include "serial_thread.h"

namespace talvex {

void SerialThread::BeginRecord(bool download) {
    if (runObserver_ == nullptr) return;
    // A run step that never came leaves the download's record open.
    CloseRecord();
    outcome_.reset();
    firstFailure_.clear();
    runObserver_->RunBegan(CurrentSettings(), ImagePath(), download);
    recordOpen_ = true;
}

void SerialThread::RecordPhase(RunPhase phase) {
    if (recordOpen_) runObserver_->PhaseBegan(phase);
}

void SerialThread::RecordCount(RunPhase phase, std::uint64_t done) {
    if (recordOpen_) runObserver_->PhaseCount(phase, done);
}

void SerialThread::RecordPhaseEnd(RunPhase phase) {
    if (recordOpen_) runObserver_->PhaseEnded(phase);
}

void SerialThread::RecordIdentified(const std::string& text) {
    if (recordOpen_) runObserver_->Identified(text);
}

void SerialThread::RecordRunCommand(bool reset) {
    if (recordOpen_) runObserver_->RunCommand(reset);
}

void SerialThread::NoteOutcome(ExitCode code) {
    // What fails after a stop fails because of it.
    if (Stopping()) return;
    if (!outcome_ || *outcome_ == ExitCode::Success) outcome_ = code;
}

void SerialThread::CloseRecord() {
    if (!recordOpen_) return;
    recordOpen_ = false;
    // Without a success or a failure of its own, a run ended by a stop was
    // cut short; "Flash error." after a stop is only the way out.
    if (link_) {
        const LinkCounts& c = link_->Counts();
        runObserver_->LinkReport(c.answerWaitMs, c.misalignments, c.repeats);
    }
    ExitCode code = outcome_.value_or(ExitCode::FlashError);
    if (Stopping() && (!outcome_ || code == ExitCode::Success || code == ExitCode::FlashError)) {
        code = ExitCode::Interrupted;
    }
    runObserver_->RunEnded(code, firstFailure_);
}

void SerialThread::EndIfIdentificationOverdue() {
    if (idLimit_.count() <= 0 || std::chrono::steady_clock::now() - idSince_ < idLimit_) return;
    ReportFailure("No identification from the target on " + CurrentSettings().port + " within " +
                      std::to_string(idLimit_.count()) + " s. Is it in bootloader mode?",
                  ExitCode::Port);
    EndOfDownload();
}

} // namespace talvex
