#pragma once
// The run record: one JSON line per run, appended to a file that several
// stations may share, from which a quality engineer can tell which image
// went into which board, when, where, and whether it verified.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line_database.h"
#include "run_observer.h"

namespace talvex {

struct RunRecord {
    // Unique to this run on every station (a random UUID): a record
    // delivered twice to the line database is stored once.
    std::string runId;
    std::int64_t startUnixMs = 0;
    std::string host;
    std::string station; // [Line] Station, else the host name
    std::string version;
    std::string settingsPath;
    std::string port;
    std::string baud;
    std::string part;
    bool download = true; // false: a Run/Reset on its own
    std::optional<std::string> id;

    struct Image {
        std::string path;  // absolute where it could be made so
        bool read = false; // bytes and sha256 are known
        std::uint64_t bytes = 0;
        std::string sha256;
        std::string problem;                    // why it could not be read
        std::optional<std::uint64_t> dataBytes; // from the check of the image
        // With a serial number: the SHA-256 of the image as written, over
        // each data record's absolute address (4 bytes, most significant
        // first), length (2 bytes) and bytes after the number was laid over
        // them, the number's own record last when the image left its place
        // empty. Set once the whole image went out.
        std::optional<std::string> writtenSha256;
    } image;

    struct Serial {
        std::uint64_t number = 0;
        std::string bytes;   // as written, in hexadecimal; empty when it did not fit
        std::string counter; // the file, or "db:NAME"
    };
    std::optional<Serial> serial;

    struct Asked {
        bool massErase = false;
        bool program = false;
        bool verify = false;
        bool protect = false;
        bool runAfter = false;
        bool reset = false; // the run step resets instead of running
        int frameBytes = 0; // [Flash] FrameBytes; 0 one frame per record
    } asked;

    struct Phase {
        RunPhase phase;
        std::int64_t micros = 0;
        std::uint64_t done = 0;
    };
    std::vector<Phase> phases; // in the order they began

    struct Link {
        std::uint32_t answerWaitMs = 0;
        std::uint64_t misaligned = 0;
        std::uint64_t repeats = 0;
    };
    std::optional<Link> link;

    std::string runCommand; // "run" or "reset" once sent
    int code = 0;
    std::string failure;
    std::string portProblem;
    std::int64_t durationMicros = 0;

    // The phase's entry, or nullptr when it never began.
    const Phase* Find(RunPhase phase) const;
};

// The record as one JSON object on one line, without the line end.
std::string FormatRunRecord(const RunRecord& record);

// "2026-12-07T14:02:11.123Z" for milliseconds since 1970 (UTC).
std::string FormatUtcTime(std::int64_t unixMs);

// Size and SHA-256 of the file as it is now; only regular files are read.
RunRecord::Image FingerprintImage(const std::string& path);

// Appends the line and a line end with a single write, so that lines of
// several writers never mix. False with the reason when it did not go in
// whole. Backends: record_file_posix.cpp and record_file_win32.cpp.
bool AppendRecordLine(const std::string& path, const std::string& line, std::string& whyNot);

// The name of this computer, empty when the system does not give one.
std::string HostName();

// A new random UUID (version 4), as 36 lower-case characters.
std::string NewRunId();

// Fills a record from what the worker tells and appends it when the run
// ends. A line that cannot be written goes to the failure handler (on the
// worker's thread); the run's result stays what it was.
class RunRecorder final : public IRunObserver {
public:
    using FailureHandler = std::function<void(const std::string&)>;
    // path: the JSON-lines file, empty for none; database: the line
    // database, null for none. Both may be given.
    RunRecorder(std::string path, FailureHandler onFailure,
                std::shared_ptr<ILineDatabase> database = nullptr);

    const std::string& Path() const { return path_; }

    void RunBegan(const Settings& settings, const std::string& imagePath, bool download) override;
    void PhaseBegan(RunPhase phase) override;
    void PhaseCount(RunPhase phase, std::uint64_t done) override;
    void PhaseEnded(RunPhase phase) override;
    void Identified(const std::string& text) override;
    void RunCommand(bool reset) override;
    void SerialAssigned(std::uint64_t number, const std::vector<std::uint8_t>& bytes) override;
    void ImageWritten(const std::string& sha256) override;
    void LinkReport(std::uint32_t answerWaitMs, std::uint64_t misaligned,
                    std::uint64_t repeats) override;
    void RunEnded(ExitCode code, const std::string& failure) override;

private:
    using Clock = std::chrono::steady_clock;
    RunRecord::Phase& Entry(RunPhase phase);
    void EndPhase(RunPhase phase, Clock::time_point at);

    std::string path_;
    FailureHandler onFailure_;
    std::shared_ptr<ILineDatabase> database_;
    bool open_ = false;
    std::string counter_; // the run's [Serial] counter, as named
    RunRecord record_;
    Clock::time_point start_;
    // Begin time of each phase now running, by phase number.
    std::vector<std::optional<Clock::time_point>> running_;
};

} // namespace talvex
