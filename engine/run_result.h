#pragma once
// How a finished run reads at a glance in a window: the closing text of the
// progress bar, the colour that goes with it, and the operator's tally in
// the title. A production operator looks up from the board, not into the
// status list, so the outcome has to be readable from across the bench.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "run_observer.h"

namespace talvex {

struct RunResult {
    ExitCode code = ExitCode::Success;
    bool download = true;    // false: a Run/Reset on its own
    std::uint64_t bytes = 0; // the image's data bytes the target acknowledged
    double seconds = 0;      // from the run's start to its end
    std::string failure;     // the first failure text, as the worker reported it
    std::optional<RunPhase> failedPhase;
    std::optional<std::uint32_t> failedAddress;

    bool Passed() const { return code == ExitCode::Success; }
};

// "Done: 1575 bytes in 4.2 s", or "Failed: write refused at 0x90 (code 7)".
// A failure without an address says it in the worker's own words, first
// line only, so that a port or image problem is still named.
std::string ResultBarText(const RunResult& result);

// The results since the window opened. Only downloads count: a Run/Reset on
// its own programs no board, and a run cut short by closing the window has
// no result.
class ResultTally {
public:
    // False when the result does not count.
    bool Count(const RunResult& result);
    unsigned Passed() const { return passed_; }
    unsigned Failed() const { return failed_; }
    // base alone before the first result, then "base: 12 passed, 1 failed".
    std::string Title(const std::string& base) const;

private:
    unsigned passed_ = 0;
    unsigned failed_ = 0;
};

// 8-bit sRGB.
using Rgb = std::array<int, 3>;

// Green for a pass, red for a failure, as light as the style's own
// highlight: text drawn in the highlighted-text colour stays as readable on
// it as on the highlight, in a light palette and in a dark one.
Rgb ResultTint(const Rgb& highlight, bool passed);

// Gathers a RunResult from what the worker tells about a run, and hands it
// over when the run ends (on the worker's thread).
class RunResultCollector final : public IRunObserver {
public:
    using Handler = std::function<void(const RunResult&)>;
    explicit RunResultCollector(Handler onEnd) : onEnd_(std::move(onEnd)) {}

    void RunBegan(const Settings& settings, const std::string& imagePath, bool download) override;
    void PhaseBegan(RunPhase phase) override;
    void PhaseCount(RunPhase phase, std::uint64_t done) override;
    void PhaseEnded(RunPhase phase) override { (void)phase; }
    void Identified(const std::string& text) override { (void)text; }
    void RunCommand(bool reset) override { (void)reset; }
    void FailedAt(std::uint32_t address) override;
    void RunEnded(ExitCode code, const std::string& failure) override;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kPhases = static_cast<std::size_t>(RunPhase::Run) + 1;

    Handler onEnd_;
    bool open_ = false;
    RunResult result_;
    Clock::time_point start_;
    std::array<std::optional<std::uint64_t>, kPhases> counts_{};
};

// Tells two observers, either of which may be absent, about the same run.
class RunObserverPair final : public IRunObserver {
public:
    void Set(IRunObserver* first, IRunObserver* second) {
        first_ = first;
        second_ = second;
    }

    void RunBegan(const Settings& settings, const std::string& imagePath, bool download) override {
        Each([&](IRunObserver& o) { o.RunBegan(settings, imagePath, download); });
    }
    void PhaseBegan(RunPhase phase) override {
        Each([&](IRunObserver& o) { o.PhaseBegan(phase); });
    }
    void PhaseCount(RunPhase phase, std::uint64_t done) override {
        Each([&](IRunObserver& o) { o.PhaseCount(phase, done); });
    }
    void PhaseEnded(RunPhase phase) override {
        Each([&](IRunObserver& o) { o.PhaseEnded(phase); });
    }
    void Identified(const std::string& text) override {
        Each([&](IRunObserver& o) { o.Identified(text); });
    }
    void RunCommand(bool reset) override {
        Each([&](IRunObserver& o) { o.RunCommand(reset); });
    }
    void LinkReport(std::uint32_t answerWaitMs, std::uint64_t misaligned,
                    std::uint64_t repeats) override {
        Each([&](IRunObserver& o) { o.LinkReport(answerWaitMs, misaligned, repeats); });
    }
    void SerialAssigned(std::uint64_t number, const std::vector<std::uint8_t>& bytes) override {
        Each([&](IRunObserver& o) { o.SerialAssigned(number, bytes); });
    }
    void ImageWritten(const std::string& sha256) override {
        Each([&](IRunObserver& o) { o.ImageWritten(sha256); });
    }
    void FailedAt(std::uint32_t address) override {
        Each([&](IRunObserver& o) { o.FailedAt(address); });
    }
    void RunEnded(ExitCode code, const std::string& failure) override {
        Each([&](IRunObserver& o) { o.RunEnded(code, failure); });
    }

private:
    template <class F>
    void Each(const F& f) {
        if (first_ != nullptr) f(*first_);
        if (second_ != nullptr) f(*second_);
    }

    IRunObserver* first_ = nullptr;
    IRunObserver* second_ = nullptr;
};

} // namespace talvex
