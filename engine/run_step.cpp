#include "run_step.h"

namespace talvex {

void RunStep::Run() {
    RequestFlags& flags = c_.Flags();
    IWindowOps& window = c_.Window();
    // The request is taken now, so that a Run/Reset pressed while this step
    // is in hand asks for another one instead of vanishing with this one.
    // The step leaves the download flags alone for the same reason: a Start
    // pressed meanwhile is served once the step is over.
    flags.RunRequest = 0;
    const Settings s = c_.CurrentSettings();
    ISerialPort& port = c_.Port();
    // A Run/Reset on its own is a run of its own.
    const bool afterDownload = c_.HasLink();
    if (!c_.RecordOpen()) c_.BeginRecord(false);
    c_.RecordPhase(RunPhase::Connect);
    if (!port.Open(s.port, s.baud)) {
        c_.ReportFailure("Can not open COM port.", ExitCode::Port);
        c_.CloseRecord();
        c_.DropLink();
        // Served once: an unattended run must not retry the open for ever.
        flags.Unattended.RunStepServed();
        return;
    }
    c_.OpenLink(s, afterDownload);
    c_.RecordCount(RunPhase::Connect, 1);
    c_.RecordPhaseEnd(RunPhase::Connect);
    std::uint32_t value = static_cast<std::uint32_t>(s.runMode);
    if (!c_.Chip().resetSupported && value != 0) {
        window.AppendStatusLine("\"Reset\" unsupported. Performing \"Run\" instead");
        value = 0;
    }
    c_.RecordPhase(RunPhase::Run);
    c_.RecordRunCommand(value != 0);
    const int score = c_.Send(CommandFrame::Run(value));
    if (!Acknowledged(score)) {
        c_.Conclude(ExitCode::Port);
        window.AppendStatusLine("Run Communications failure.");
        window.AddStatusLine("    Re-enter download to continue.");
    } else {
        window.AddStatusLine("Running.");
        window.EnableButton(kRunResetButton, false);
        c_.RecordCount(RunPhase::Run, 1);
        c_.Conclude(ExitCode::Success);
    }
    c_.ClosePort();
    c_.CloseRecord();
    c_.DropLink();
    flags.Unattended.RunStepServed();
}

} // namespace talvex
