#pragma once
// The console front end's window operations: status lines on stdout, failure
// texts on stderr, and a progress line on stderr when it is a terminal.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "in_place_line.h"
#include "window_ops.h"

namespace talvex {

class ConsoleWindow final : public IWindowOps {
public:
    // The progress line is redrawn in place with "\r" and, where err's
    // terminal takes it, the erase-to-end-of-line escape; elsewhere (a
    // Windows console) it is overwritten with blanks instead. The first form
    // asks the platform (TerminalTakesEscapes).
    ConsoleWindow(std::FILE* out, std::FILE* err, bool showProgress);
    ConsoleWindow(std::FILE* out, std::FILE* err, bool showProgress, bool escapes);

    void AddStatusLine(const std::string& text) override;
    void AppendStatusLine(const std::string& text) override;
    void SetProgressStep(int step) override;
    void SetProgressRange(std::uint32_t upper) override;
    void SetProgressPos(std::uint32_t position) override;
    void SetProgressPhase(ProgressPhase phase) override;
    void EnableButton(ButtonId id, bool enable) override;
    void ShowMessage(const std::string& text) override;
    void EndWithResult(ExitCode code) override;
    void UnattendedFailure(const std::string& text) override;
    void RunRecordFailed(const std::string& text) override { ShowMessage(text); }

    // The text of the last failure the run reported; empty when none.
    std::string LastFailure() const;

    // Waits up to the given time for a result; empty when none came.
    std::optional<ExitCode> WaitForResult(std::chrono::milliseconds timeout);

    // "Writing  42%  4096/9752 bytes  11.2 KB/s  0:01 left"
    static std::string ProgressText(const std::string& phase, const std::string& unit,
                                    std::uint32_t position, std::uint32_t range,
                                    double elapsedSeconds);

private:
    void PrintLine(const std::string& text);
    void ClearProgressLocked();
    void DrawProgressLocked(bool force);

    std::FILE* out_;
    std::FILE* err_;
    bool showProgress_;

    mutable std::mutex mutex_;
    std::condition_variable resultCv_;
    std::string lastFailure_;
    std::optional<ExitCode> result_;

    std::string phase_;
    std::string unit_;
    std::uint32_t range_ = 0;
    std::uint32_t position_ = 0;
    InPlaceLine line_;
    std::chrono::steady_clock::time_point phaseStart_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// True when the console's error stream is an interactive terminal.
bool StderrIsTerminal();

// True when the progress line may be erased with the ANSI escape on the
// terminal behind stream: POSIX terminals whose TERM is set and not "dumb",
// unless NO_COLOR is set. False for a Windows console and for the rest,
// where blanks do it.
bool TerminalTakesEscapes(std::FILE* stream);

} // namespace talvex
