#pragma once
// The file the simulator's log goes to. It may be a FIFO that a test or a
// bench reads as the run goes, and then neither a missing reader nor one that
// stops reading may hold the simulator: the open does not wait for a reader,
// and the serving loop never waits for a write. Backend: sim_log_file_posix.cpp.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zarq {

// How long the log waits for a reader that takes nothing before it is given
// up.
constexpr int kLogStallLimitMs = 500;

class SimLogFile {
public:
    // Creates or empties the file; nullptr, and the reason, when it cannot.
    // A FIFO without a reader cannot be opened.
    static std::unique_ptr<SimLogFile> Open(const std::string& path, std::string& whyNot);
    ~SimLogFile();
    SimLogFile(const SimLogFile&) = delete;
    SimLogFile& operator=(const SimLogFile&) = delete;

    // Lines wait in memory until a few kilobytes have gathered, as stdio
    // would keep them; then what the file takes at once is written. The
    // serving loop never waits here: a FIFO whose reader lags keeps the rest
    // for later, and one whose reader has taken nothing for
    // kLogStallLimitMs, or lags too far, costs the log.
    void Write(const std::string& text);
    // Writes the rest, waiting at most kLogStallLimitMs for a slow reader.
    // False once any write failed; Failure() says why.
    bool Finish();
    // The first failure, empty while there was none. After it, lines are
    // dropped.
    const std::string& Failure() const { return failure_; }

private:
    explicit SimLogFile(int fd) : fd_(fd) {}
    // Writes what the file takes within waitMs; false on a failure.
    bool Push(int waitMs);
    void GiveUp(const std::string& why);

    int fd_ = -1;
    std::string pending_;
    std::string failure_;
    std::int64_t stalledSinceNs_ = -1; // -1 while the file keeps up
};

} // namespace zarq
