// What the worker's steps share: the connection, and the ways a step ends
// the run or reports to the window.

#include "worker_context.h"

#include "trace_port.h"

namespace talvex {

WorkerContext::WorkerContext(IWindowOps& window, const Settings& settings,
                             std::unique_ptr<ISerialPort> port)
    : window_(window, stop_),
      settings_(settings),
      imagePath_(settings.imageFile),
      port_(std::move(port)) {}

Settings WorkerContext::CurrentSettings() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return settings_;
}

void WorkerContext::SetSettings(const Settings& settings) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settings_ = settings;
}

std::string WorkerContext::ImagePath() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return imagePath_;
}

void WorkerContext::SetImagePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    imagePath_ = path;
}

ChipValues WorkerContext::Chip() const {
    std::lock_guard<std::mutex> lock(chipMutex_);
    return chip_;
}

void WorkerContext::SetChip(const ChipValues& chip) {
    std::lock_guard<std::mutex> lock(chipMutex_);
    chip_ = chip;
}

std::string WorkerContext::Identification() const {
    std::lock_guard<std::mutex> lock(chipMutex_);
    return identification_;
}

void WorkerContext::SetIdentification(const std::string& text) {
    std::lock_guard<std::mutex> lock(chipMutex_);
    identification_ = text;
}

std::optional<std::uint64_t> WorkerContext::SerialNumber() const {
    std::lock_guard<std::mutex> lock(chipMutex_);
    return serialNumber_;
}

void WorkerContext::SetSerialNumber(std::optional<std::uint64_t> number) {
    std::lock_guard<std::mutex> lock(chipMutex_);
    serialNumber_ = number;
}

void WorkerContext::NotifyPass(ImagePass pass) {
    if (passObserver_) passObserver_(pass);
}

ISerialPort& WorkerContext::Port() {
    if (!port_) {
        auto port = std::make_unique<CSerialPort>();
        port->SetMessageHandler([this](const std::string& text) { window_.ShowMessage(text); });
        port_ = std::move(port);
    }
    if (traceSink_ && !traced_) {
        port_ = std::make_unique<TracePort>(std::move(port_), traceSink_);
        traced_ = true;
    }
    if (!portStopWired_) {
        // A stop must end a wait on the line promptly, also at rates where
        // one read lasts many seconds; the port looks at the same flag.
        port_->SetStopFlag(&stop_);
        portStopWired_ = true;
    }
    return *port_;
}

void WorkerContext::ClosePort() {
    if (port_ && port_->IsOpen()) port_->Close();
}

void WorkerContext::OpenLink(const Settings& s, bool sameRun) {
    if (sameRun && link_) {
        link_->Reopened();
        return;
    }
    std::uint32_t baud = 0;
    ParseBaud(s.baud, baud); // the port opened with it, so it is sound
    link_ = std::make_unique<FrameLink>(Port(), baud, &stop_);
}

bool WorkerContext::PassMisaligned() {
    // After a failure or a stop the run ends anyway, and nothing more may
    // go to the target once a result was asked for.
    if (!link_ || Failed() || Stopping() || outcome_.ResultAsked()) return false;
    if (link_->Settle() != FrameLink::SettleEnd::Quiet) return false;
    if (!link_->TakeMisaligned()) return false;
    window_.AddStatusLine("    Answers came out of step with the frames sent.");
    return true;
}

void WorkerContext::ReportFailure(const std::string& text, ExitCode code) {
    outcome_.NoteFailureText(text);
    outcome_.Note(code);
    if (!Unattended()) {
        window_.ShowMessage(text);
    } else {
        window_.UnattendedFailure(text);
        EndWithResult(code);
    }
}

void WorkerContext::ReportFailureAt(const std::string& text, ExitCode code, std::uint32_t address) {
    // Only the failure that becomes the run's first has its place told.
    if (outcome_.FirstFailure().empty() && !Stopping() && Telling()) {
        runObserver_->FailedAt(address);
    }
    ReportFailure(text, code);
}

void WorkerContext::EndWithResult(ExitCode code) {
    if (!outcome_.AskResult()) return;
    // The record is complete before the front end may end the process.
    outcome_.Note(code);
    CloseRecord();
    window_.EndWithResult(code);
}

void WorkerContext::Conclude(ExitCode code) {
    outcome_.Note(code);
    if (Unattended()) EndWithResult(code);
}

void WorkerContext::EndOfDownload() {
    window_.SetProgressPos(0);
    ClosePort();
    // A run step still to come belongs to this run's record.
    if (!RunStepPending() || outcome_.HasFailed()) {
        CloseRecord();
        DropLink();
    }
    flags_.StartPressed = 0;
    flags_.DownloadActive = 0;
    window_.EnableButton(kStartButton, true);
    window_.EnableButton(kRunResetButton, true);
    window_.EnableButton(kConfigureButton, true);
}

} // namespace talvex
