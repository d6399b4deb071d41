#pragma once
// What the worker tells about each run as it goes: which steps it took, how
// much of each the target acknowledged, what the target said it is, and how
// the run ended. A run record is filled from this, never from status texts.
// Every call comes on the worker's thread.

#include <cstdint>
#include <string>
#include <vector>

#include "result_code.h"
#include "settings.h"

namespace talvex {

enum class RunPhase {
    Connect,  // opening the port
    Identify, // waiting for the target's identification
    Check,    // reading and checking the whole image once
    MassErase,
    Erase, // the pages the image touches
    Write,
    Verify,
    Protect,
    Run, // the run or reset frame
};

// The name a record uses for the phase: "connect", "identify", ...
const char* RunPhaseName(RunPhase phase);

class IRunObserver {
public:
    virtual ~IRunObserver() = default;
    // A run begins: a download after Start, or a Run/Reset pressed on its
    // own (download false; then there is no image to speak of).
    virtual void RunBegan(const Settings& settings, const std::string& imagePath,
                          bool download) = 0;
    virtual void PhaseBegan(RunPhase phase) = 0;
    // How much of the phase the target has acknowledged so far: bytes for
    // Check (the image's data bytes), Write and Verify; pages for Erase;
    // protection units for Protect; 1 for a done MassErase, Connect,
    // Identify or Run.
    virtual void PhaseCount(RunPhase phase, std::uint64_t done) = 0;
    virtual void PhaseEnded(RunPhase phase) = 0;
    // The identification text the target sent (also one of another part).
    virtual void Identified(const std::string& text) = 0;
    // The frame of the run step goes out: a reset, or a run.
    virtual void RunCommand(bool reset) = 0;
    // How the exchange with the target went so far: the answer wait in
    // force, answers that could not be matched to their frames, and tries
    // sent again. Told when the port closes; the last report counts.
    virtual void LinkReport(std::uint32_t answerWaitMs, std::uint64_t misaligned,
                            std::uint64_t repeats) {
        (void)answerWaitMs;
        (void)misaligned;
        (void)repeats;
    }
    // The board's serial number was taken, with the bytes that go into the
    // flash for it (empty when it did not fit its place). Only runs that
    // stamp a number tell it; the number is used up whatever follows.
    virtual void SerialAssigned(std::uint64_t number, const std::vector<std::uint8_t>& bytes) {
        (void)number;
        (void)bytes;
    }
    // The whole image went out with its serial number: the SHA-256 of what
    // was written (see RunRecord::Image::writtenSha256).
    virtual void ImageWritten(const std::string& sha256) { (void)sha256; }
    // The address the run's first failure happened at, where it has one
    // (a refused frame, a record outside the flash); told before RunEnded.
    virtual void FailedAt(std::uint32_t address) { (void)address; }
    // The run's outcome, with the text of its first failure (empty when
    // none was reported). Interrupted when a stop cut the run short.
    virtual void RunEnded(ExitCode code, const std::string& failure) = 0;
};

} // namespace talvex
