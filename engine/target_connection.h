#pragma once
// The worker's first step of a download: the port opened for it, the wake
// bytes, the wait for the target's identification and what it tells of the
// chip.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "worker_context.h"

namespace talvex {

class TargetConnection {
public:
    explicit TargetConnection(WorkerContext& context) : c_(context) {}

    // A download whose target has not identified itself this long after
    // the port opened ends with code 4. Zero (the default) waits for ever,
    // as a user at the window expects.
    void SetIdentificationLimit(std::chrono::seconds limit) { limit_ = limit; }

    // Opens the port for the download Start asked for; its run's record
    // begins here.
    void Connect();
    // One read of the identification, with a wake byte when none came. The
    // right part lets the flash sequence go on (FileReady); a wrong one ends
    // the download.
    void ReadIdentification();

private:
    bool WriteWakeByte();
    void LearnChip(const std::string& id);
    // Ends the download with code 4 once the identification has been
    // awaited longer than the limit allows.
    void EndIfOverdue();
    // The time-out of the next identification read when the limit ends
    // before the rate's own time-out would; none while it does not.
    std::optional<std::chrono::milliseconds> ReadLimit() const;

    WorkerContext& c_;
    std::chrono::seconds limit_{0};
    std::chrono::steady_clock::time_point since_;
    // When the last wake byte has crossed the line, at the rate of the
    // connection the identification is awaited on.
    std::chrono::steady_clock::time_point lineFree_;
    std::uint32_t baud_ = 0;
};

} // namespace talvex
