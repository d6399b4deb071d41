#pragma once
// What the worker tells of its link to the target at the end of a run: the
// answer wait in force, answers out of step with their frames, repeats.

#include <cstdint>
#include <string>

#include "run_observer.h"

namespace talvex::testing {

class LinkObserver final : public IRunObserver {
public:
    void RunBegan(const Settings&, const std::string&, bool) override {}
    void PhaseBegan(RunPhase) override {}
    void PhaseCount(RunPhase, std::uint64_t) override {}
    void PhaseEnded(RunPhase) override {}
    void Identified(const std::string&) override {}
    void RunCommand(bool) override {}
    void LinkReport(std::uint32_t waitMs, std::uint64_t outOfStep,
                    std::uint64_t triesAgain) override {
        answerWaitMs = waitMs;
        misaligned = outOfStep;
        repeats = triesAgain;
        reported = true;
    }
    void RunEnded(ExitCode, const std::string&) override {}

    // Written on the worker's thread before it asks for the run's result,
    // so read once the result has come.
    bool reported = false;
    std::uint32_t answerWaitMs = 0;
    std::uint64_t misaligned = 0;
    std::uint64_t repeats = 0;
};

} // namespace talvex::testing
