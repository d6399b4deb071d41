#include "console_window.h"

#include <cstdio>

#include "front_texts.h"
#include "progress_model.h"
#include "stream_check.h"

namespace talvex {

ConsoleWindow::ConsoleWindow(std::FILE* out, std::FILE* err, bool showProgress)
    : ConsoleWindow(out, err, showProgress, !showProgress || TerminalTakesEscapes(err)) {}

ConsoleWindow::ConsoleWindow(std::FILE* out, std::FILE* err, bool showProgress, bool escapes)
    : out_(out), err_(err), showProgress_(showProgress), line_(err, escapes) {}

std::string ConsoleWindow::ProgressText(const std::string& phase, const std::string& unit,
                                        std::uint32_t position, std::uint32_t range,
                                        double elapsedSeconds) {
    const ProgressFigures figures =
        MeasureProgress(position, range, elapsedSeconds, kConsoleProgress);
    char text[160];
    int used = std::snprintf(text, sizeof text, "%-9s %3u%%  %lu/%lu %s", phase.c_str(),
                             figures.percent, static_cast<unsigned long>(position),
                             static_cast<unsigned long>(range), unit.c_str());
    std::string line(text, static_cast<std::size_t>(used > 0 ? used : 0));
    if (figures.rate) line += "  " + FormatRate(*figures.rate, unit);
    if (figures.secondsLeft)
        line += "  " + FormatTimeLeft(*figures.secondsLeft, kConsoleProgress.hourField) + " left";
    return line;
}

void ConsoleWindow::ClearProgressLocked() { line_.Clear(); }

void ConsoleWindow::DrawProgressLocked(bool force) {
    if (!showProgress_ || phase_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && line_.Shown() && now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;
    const double elapsed = std::chrono::duration<double>(now - phaseStart_).count();
    line_.Draw(ProgressText(phase_, unit_, position_, range_, elapsed));
}

void ConsoleWindow::PrintLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearProgressLocked();
    std::fprintf(out_, "%s\n", Printable(text).c_str());
    FlushAndNote(out_);
    // A status line closes the phase in hand; the engine names the next one.
    phase_.clear();
}

void ConsoleWindow::SetProgressPhase(ProgressPhase phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase == ProgressPhase::Protect) {
        // A handful of frames: not worth a progress line.
        phase_.clear();
        return;
    }
    phase_ = PhaseName(phase);
    unit_ = PhaseUnit(phase);
}

void ConsoleWindow::AddStatusLine(const std::string& text) { PrintLine(text); }

void ConsoleWindow::AppendStatusLine(const std::string& text) { PrintLine(text); }

void ConsoleWindow::SetProgressStep(int) {}

void ConsoleWindow::SetProgressRange(std::uint32_t upper) {
    std::lock_guard<std::mutex> lock(mutex_);
    range_ = upper;
    position_ = 0;
    phaseStart_ = std::chrono::steady_clock::now();
}

void ConsoleWindow::SetProgressPos(std::uint32_t position) {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = position;
    if (position == 0 && phase_.empty()) {
        ClearProgressLocked();
        return;
    }
    DrawProgressLocked(false);
}

void ConsoleWindow::EnableButton(ButtonId, bool) {}

void ConsoleWindow::ShowMessage(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearProgressLocked();
    std::fprintf(err_, "%s\n", text.c_str());
    FlushAndNote(err_);
}

void ConsoleWindow::UnattendedFailure(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastFailure_ = text;
    }
    ShowMessage(text);
}

std::string ConsoleWindow::LastFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastFailure_;
}

void ConsoleWindow::EndWithResult(ExitCode code) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = code;
    }
    resultCv_.notify_all();
}

std::optional<ExitCode> ConsoleWindow::WaitForResult(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    resultCv_.wait_for(lock, timeout, [this] { return result_.has_value(); });
    if (result_) ClearProgressLocked();
    return result_;
}

} // namespace talvex
