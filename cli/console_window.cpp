#include "console_window.h"

#include <cstdio>

#include "stream_check.h"

namespace talvex {

namespace {

// Redrawing more often than this only costs terminal time.
constexpr std::chrono::milliseconds kRedrawInterval(100);

} // namespace

ConsoleWindow::ConsoleWindow(std::FILE* out, std::FILE* err, bool showProgress)
    : ConsoleWindow(out, err, showProgress, !showProgress || TerminalTakesEscapes(err)) {}

ConsoleWindow::ConsoleWindow(std::FILE* out, std::FILE* err, bool showProgress, bool escapes)
    : out_(out), err_(err), showProgress_(showProgress), line_(err, escapes) {}

std::string ConsoleWindow::Printable(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            line += escape;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

std::string ConsoleWindow::ProgressText(const std::string& phase, const std::string& unit,
                                        std::uint32_t position, std::uint32_t range,
                                        double elapsedSeconds) {
    const unsigned percent = range == 0
                                 ? 100u
                                 : static_cast<unsigned>(std::min<std::uint64_t>(
                                       100, static_cast<std::uint64_t>(position) * 100 / range));
    char text[160];
    int used = std::snprintf(text, sizeof text, "%-9s %3u%%  %lu/%lu %s", phase.c_str(), percent,
                             static_cast<unsigned long>(position),
                             static_cast<unsigned long>(range), unit.c_str());
    std::string line(text, static_cast<std::size_t>(used > 0 ? used : 0));
    if (elapsedSeconds > 0.2 && position > 0) {
        const double rate = position / elapsedSeconds;
        if (unit == "bytes") {
            std::snprintf(text, sizeof text, "  %.1f KB/s", rate / 1024.0);
        } else {
            std::snprintf(text, sizeof text, "  %.1f %s/s", rate, unit.c_str());
        }
        line += text;
        if (position < range) {
            const double left = (range - position) / rate;
            const unsigned long secs = static_cast<unsigned long>(left + 0.5);
            std::snprintf(text, sizeof text, "  %lu:%02lu left", secs / 60, secs % 60);
            line += text;
        }
    }
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
    switch (phase) {
    case ProgressPhase::Erase:
        phase_ = "Erasing";
        unit_ = "pages";
        break;
    case ProgressPhase::Write:
        phase_ = "Writing";
        unit_ = "bytes";
        break;
    case ProgressPhase::Verify:
        phase_ = "Verifying";
        unit_ = "bytes";
        break;
    case ProgressPhase::Protect:
        // A handful of frames: not worth a progress line.
        phase_.clear();
        break;
    }
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
