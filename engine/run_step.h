#pragma once
// The run step: one run or reset frame, after a download or on its own.

#include "worker_context.h"

namespace talvex {

class RunStep {
public:
    explicit RunStep(WorkerContext& context) : c_(context) {}
    // Serves the Run/Reset request, or the run step an unattended run asked
    // for, once.
    void Run();

private:
    WorkerContext& c_;
};

} // namespace talvex
