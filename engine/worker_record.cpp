// The worker's side of the run record: small steps the identification, the
// flash sequence and the run step call as they go.

#include "worker_context.h"

namespace talvex {

void WorkerContext::BeginRecord(bool download) {
    if (runObserver_ == nullptr) return;
    // A run step that never came leaves the download's record open.
    CloseRecord();
    outcome_.BeginRun();
    runObserver_->RunBegan(CurrentSettings(), ImagePath(), download);
    recordOpen_ = true;
}

void WorkerContext::RecordPhase(RunPhase phase) {
    if (recordOpen_) runObserver_->PhaseBegan(phase);
}

void WorkerContext::RecordCount(RunPhase phase, std::uint64_t done) {
    if (recordOpen_) runObserver_->PhaseCount(phase, done);
}

void WorkerContext::RecordPhaseEnd(RunPhase phase) {
    if (recordOpen_) runObserver_->PhaseEnded(phase);
}

void WorkerContext::RecordIdentified(const std::string& text) {
    if (recordOpen_) runObserver_->Identified(text);
}

void WorkerContext::RecordRunCommand(bool reset) {
    if (recordOpen_) runObserver_->RunCommand(reset);
}

void WorkerContext::CloseRecord() {
    if (!recordOpen_) return;
    recordOpen_ = false;
    if (link_) {
        const LinkCounts& c = link_->Counts();
        runObserver_->LinkReport(c.answerWaitMs, c.misalignments, c.repeats);
    }
    runObserver_->RunEnded(outcome_.RecordedCode(), outcome_.FirstFailure());
}

} // namespace talvex
