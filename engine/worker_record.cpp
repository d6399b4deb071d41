// The worker's side of the run record: small steps the identification, the
// flash sequence and the run step call as they go.

#include "worker_context.h"

namespace talvex {

void WorkerContext::BeginRecord(bool download) {
    // A run step that never came leaves the download's record open.
    CloseRecord();
    // The run begins whether or not anyone is told of it: what the last run
    // noted must not decide how this one ends, nor whether its run step
    // keeps the answer wait its download learnt.
    outcome_.BeginRun();
    recordOpen_ = true;
    if (runObserver_ != nullptr) runObserver_->RunBegan(CurrentSettings(), ImagePath(), download);
}

bool WorkerContext::Telling() const { return recordOpen_ && runObserver_ != nullptr; }

void WorkerContext::RecordPhase(RunPhase phase) {
    if (Telling()) runObserver_->PhaseBegan(phase);
}

void WorkerContext::RecordCount(RunPhase phase, std::uint64_t done) {
    if (Telling()) runObserver_->PhaseCount(phase, done);
}

void WorkerContext::RecordPhaseEnd(RunPhase phase) {
    if (Telling()) runObserver_->PhaseEnded(phase);
}

void WorkerContext::RecordIdentified(const std::string& text) {
    if (Telling()) runObserver_->Identified(text);
}

void WorkerContext::RecordRunCommand(bool reset) {
    if (Telling()) runObserver_->RunCommand(reset);
}

void WorkerContext::RecordSerial(std::uint64_t number, const std::vector<std::uint8_t>& bytes) {
    if (Telling()) runObserver_->SerialAssigned(number, bytes);
}

void WorkerContext::RecordImageWritten(const std::string& sha256) {
    if (Telling()) runObserver_->ImageWritten(sha256);
}

void WorkerContext::CloseRecord() {
    const bool told = Telling();
    recordOpen_ = false;
    if (!told) return;
    if (link_) {
        const LinkCounts& c = link_->Counts();
        runObserver_->LinkReport(c.answerWaitMs, c.misalignments, c.repeats);
    }
    runObserver_->RunEnded(outcome_.RecordedCode(), outcome_.FirstFailure());
}

} // namespace talvex
