// The worker's side of the run record and of the bounded identification
// wait: small steps the loop, the identification and the flash sequence
// call as they go.

#include "serial_thread.h"

namespace talvex {

void SerialThread::BeginRecord(bool download) {
    if (runObserver_ == nullptr) return;
    // A run step that never came leaves the download's record open.
    CloseRecord();
    outcome_.BeginRun();
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

void SerialThread::CloseRecord() {
    if (!recordOpen_) return;
    recordOpen_ = false;
    if (link_) {
        const LinkCounts& c = link_->Counts();
        runObserver_->LinkReport(c.answerWaitMs, c.misalignments, c.repeats);
    }
    runObserver_->RunEnded(outcome_.RecordedCode(), outcome_.FirstFailure());
}

void SerialThread::EndIfIdentificationOverdue() {
    if (idLimit_.count() <= 0 || std::chrono::steady_clock::now() - idSince_ < idLimit_) return;
    ReportFailure("No identification from the target on " + CurrentSettings().port + " within " +
                      std::to_string(idLimit_.count()) + " s. Is it in bootloader mode?",
                  ExitCode::Port);
    EndOfDownload();
}

} // namespace talvex
