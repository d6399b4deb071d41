// The worker's life, its loop, connection, identification and the run step.
// The flash sequence itself lives in flash_sequence.cpp.

#include "serial_thread.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "command_frame.h"
#include "hex_digits.h"
#include "output_drain.h"
#include "part_db.h"
#include "serial_port.h"
#include "trace_port.h"

namespace talvex {

namespace {

// Chips of these names need the revision test before they may protect or
// reset.
constexpr const char* kLegacyParts[] = {
    "ZaRQ4119", "ZaRQ4120", "ZaRQ4121", "ZaRQ4122", "ZaRQ4123",
    "ZaRQ4124", "ZaRQ4125", "ZaRQ4126", "ZaRQ4127",
};

constexpr std::size_t kIdLength = 24;

// A write of the wake byte that does not go out within its time-out is tried
// this often before the line counts as dead.
constexpr int kWakeWriteTries = 3;

} // namespace

SerialThread::SerialThread(IWindowOps& window, const Settings& settings,
                           std::unique_ptr<ISerialPort> port)
    : window_(window, stop_),
      settings_(settings),
      imagePath_(settings.imageFile),
      port_(std::move(port)) {}

SerialThread::~SerialThread() {
    RequestStop();
    Join();
}

void SerialThread::Resume() {
    if (!started_.exchange(true)) {
        thread_ = std::thread([this] { WorkerLoop(); });
    }
    Wake();
}

void SerialThread::RequestStop() {
    stop_ = true;
    Wake();
}

void SerialThread::Join() {
    if (thread_.joinable()) thread_.join();
}

void SerialThread::Wake() {
    // Taking the lock orders this wake-up after the worker's last look at
    // the flags, so it cannot be lost between that look and its wait.
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        // A request counts as work in hand from now on, before the worker
        // has even woken, so that WaitIdle cannot mistake it for idleness.
        if (RequestPending()) idle_ = false;
    }
    wakeCv_.notify_all();
}

bool SerialThread::RequestPending() const {
    return stop_.load() || RunStepPending() || flags_.DownloadActive.load() == 1;
}

void SerialThread::PressStart() {
    {
        // Work in hand from now on: the worker may take the request, and
        // even finish it, before Wake looks at the flags.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        idle_ = false;
    }
    // FileReady from the previous download is cleared before the worker can
    // see the new request, so that it never flashes without identifying.
    flags_.FileReady = 0;
    outcome_.NewRequest();
    flags_.StartPressed = 1;
    flags_.DownloadActive = 1;
    flags_.WakeByte = 1;
    Resume();
}

void SerialThread::PressRunReset() {
    // An unattended run's result, once given, stands: its front end may be
    // ending the process, and a run frame now would race that.
    if (!Unattended()) outcome_.NewRequest();
    {
        // Work in hand from now on: the run step takes its request as it
        // begins, which may be before Wake looks at the flags.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        idle_ = false;
    }
    flags_.RunRequest = 1;
    Resume();
}

void SerialThread::SetImagePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    imagePath_ = path;
}

std::string SerialThread::ImagePath() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return imagePath_;
}

bool SerialThread::SetPassObserver(std::function<void(ImagePass)> observer) {
    if (started_.load()) return false;
    passObserver_ = std::move(observer);
    return true;
}

bool SerialThread::SetRunObserver(IRunObserver* observer) {
    if (started_.load()) return false;
    runObserver_ = observer;
    return true;
}

bool SerialThread::SetTraceSink(std::shared_ptr<ITraceSink> sink) {
    if (started_.load()) return false;
    traceSink_ = std::move(sink);
    return true;
}

bool SerialThread::SetIdentificationLimit(std::chrono::seconds limit) {
    if (started_.load()) return false;
    idLimit_ = limit;
    return true;
}

void SerialThread::NotifyPass(ImagePass pass) {
    if (passObserver_) passObserver_(pass);
}

void SerialThread::SetSettings(const Settings& settings) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settings_ = settings;
}

Settings SerialThread::CurrentSettings() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return settings_;
}

ChipValues SerialThread::Chip() const {
    std::lock_guard<std::mutex> lock(chipMutex_);
    return chip_;
}

std::string SerialThread::Identification() const {
    std::lock_guard<std::mutex> lock(chipMutex_);
    return identification_;
}

ISerialPort& SerialThread::Port() {
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

void SerialThread::ClosePort() {
    if (port_ && port_->IsOpen()) port_->Close();
}

void SerialThread::OpenLink(const Settings& s, bool sameRun) {
    if (sameRun && link_) {
        link_->Reopened();
        return;
    }
    std::uint32_t baud = 0;
    ParseBaud(s.baud, baud); // the port opened with it, so it is sound
    link_ = std::make_unique<FrameLink>(Port(), baud, &stop_);
}

bool SerialThread::PassMisaligned() {
    // After a failure or a stop the run ends anyway, and nothing more may
    // go to the target once a result was asked for.
    if (!link_ || Failed() || Stopping() || outcome_.ResultAsked()) return false;
    if (link_->Settle() != FrameLink::SettleEnd::Quiet) return false;
    if (!link_->TakeMisaligned()) return false;
    window_.AddStatusLine("    Answers came out of step with the frames sent.");
    return true;
}

void SerialThread::WaitForRequest() {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    idle_ = true;
    idleCv_.notify_all();
    wakeCv_.wait(lock, [this] { return RequestPending(); });
    idle_ = false;
}

bool SerialThread::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    return idleCv_.wait_for(lock, timeout, [this] { return idle_ || finished_.load(); });
}

void SerialThread::WorkerLoop() {
    while (!Stopping()) {
        bool didWork = false;
        if (RunStepPending()) {
            if (outcome_.ResultAsked()) {
                // The run already has its outcome; a run frame now could
                // race the front end ending the process.
                flags_.RunRequest = 0;
                flags_.Unattended.RunStepServed();
            } else {
                RunStep();
                didWork = true;
            }
        }
        if (flags_.DownloadActive.load() != 1) {
            if (!didWork) WaitForRequest();
            continue;
        }
        while (flags_.DownloadActive.load() == 1 && !Stopping()) {
            bool served = false;
            if (!Port().IsOpen() && flags_.StartPressed.load() == 1) {
                Connect();
                continue;
            }
            if (flags_.StartPressed.load() == 1) {
                IdentificationRead();
                served = true;
            }
            if (flags_.FileReady.load() == 1) {
                FlashSequence();
                served = true;
            }
            if (!served) {
                // A download flag without a Start behind it asks for nothing
                // the worker can do; wait instead of spinning.
                std::unique_lock<std::mutex> lock(wakeMutex_);
                wakeCv_.wait_for(lock, std::chrono::milliseconds(50));
            }
        }
    }
    // Whatever was in hand is over; release the device for the next owner.
    ClosePort();
    CloseRecord();
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        finished_ = true;
    }
    idleCv_.notify_all();
    window_.WorkerFinished();
}

void SerialThread::ReportFailure(const std::string& text, ExitCode code) {
    outcome_.NoteFailureText(text);
    outcome_.Note(code);
    if (!Unattended()) {
        window_.ShowMessage(text);
    } else {
        window_.UnattendedFailure(text);
        EndWithResult(code);
    }
}

void SerialThread::EndWithResult(ExitCode code) {
    // The first code of a run is its result; the front end hears it once.
    if (!outcome_.AskResult()) return;
    // The record is complete before the front end may end the process.
    outcome_.Note(code);
    CloseRecord();
    window_.EndWithResult(code);
}

void SerialThread::Conclude(ExitCode code) {
    outcome_.Note(code);
    if (Unattended()) EndWithResult(code);
}

void SerialThread::EndOfDownload() {
    window_.SetProgressPos(0);
    ClosePort();
    // A run step still to come belongs to this run's record.
    if (!RunStepPending() || outcome_.HasFailed()) {
        CloseRecord();
        // The learnt answer wait goes on only into this run's own run step.
        link_.reset();
    }
    flags_.StartPressed = 0;
    flags_.DownloadActive = 0;
    window_.EnableButton(kStartButton, true);
    window_.EnableButton(kRunResetButton, true);
    window_.EnableButton(kConfigureButton, true);
}

void SerialThread::Connect() {
    const Settings s = CurrentSettings();
    BeginRecord(true);
    RecordPhase(RunPhase::Connect);
    if (!Port().Open(s.port, s.baud)) {
        flags_.DownloadActive = 0;
        ReportFailure("Can not open COM port.", ExitCode::Port);
        CloseRecord();
        return;
    }
    OpenLink(s, false);
    RecordCount(RunPhase::Connect, 1);
    RecordPhaseEnd(RunPhase::Connect);
    RecordPhase(RunPhase::Identify);
    idSince_ = std::chrono::steady_clock::now();
    idLineFree_ = idSince_;
    if (!ParseBaud(s.baud, idBaud_)) idBaud_ = 0;
    window_.AppendStatusLine("Ready @ " + s.baud + " baud n,8,1.");
    window_.AddStatusLine("    Press Download and pulse Reset on hardware.");
    window_.EnableButton(kStartButton, false);
    window_.EnableButton(kRunResetButton, false);
    window_.EnableButton(kConfigureButton, false);
}

bool SerialThread::WriteWakeByte() {
    const std::uint8_t wake = 0x08;
    const auto now = std::chrono::steady_clock::now();
    if (idLimit_.count() > 0 && idBaud_ > 0) {
        // A wake byte that cannot have crossed the line by the end of the
        // wait could only make that wait overrun; its answer would come too
        // late anyway.
        const auto wire = WireTime(1, idBaud_);
        if (now + wire > idSince_ + idLimit_) return true;
        // The port counts the next read's time-out from when this byte has
        // left the line; the read's own limit must allow for that.
        idLineFree_ = std::max(now, idLineFree_) + wire;
    }
    for (int attempt = 0; attempt < kWakeWriteTries && !Stopping(); ++attempt) {
        std::size_t written = 0;
        if (!Port().Write(&wake, 1, written)) return false;
        if (written == 1) return true;
    }
    return Stopping();
}

void SerialThread::IdentificationRead() {
    outcome_.ClearStep();
    std::uint8_t buffer[kIdLength + 1] = {};
    std::size_t received = 0;
    ISerialPort& port = Port();
    bool readOk = true;
    if (const auto left = IdentificationReadLimit()) {
        readOk = port.ReadFor(buffer, kIdLength, received, *left);
    } else {
        readOk = port.Read(buffer, kIdLength, received);
    }
    if (readOk && received == 0 && flags_.WakeByte.load() == 1) {
        // A wake byte that cannot go out means the line is gone as surely
        // as a failed read does.
        readOk = WriteWakeByte();
    }
    if (!readOk) {
        flags_.DownloadActive = 0;
        // A device that hung up never comes back on this handle; keeping it
        // would make every later Start and Run fail until a restart.
        if (port.LastStatus() == PortStatus::HungUp) ClosePort();
        ReportFailure("Can not read COM port.", ExitCode::Port);
        CloseRecord();
        return;
    }
    if (received == 0) {
        EndIfIdentificationOverdue();
        return;
    }

    const std::size_t length = strnlen(reinterpret_cast<const char*>(buffer), received);
    const std::string text(reinterpret_cast<const char*>(buffer), length);
    const std::string line = text + " received.";
    port.Purge(PurgeWhat::Output);

    if (text.compare(0, 5, "ZaRQ4") != 0 || text.size() < 5) {
        window_.AddStatusLine(line + "Waiting for correct ID string.");
        EndIfIdentificationOverdue();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(chipMutex_);
        identification_ = text;
    }
    RecordIdentified(text);
    const Settings s = CurrentSettings();
    if (text.size() < 8 || s.part.size() < 8 || text.compare(0, 8, s.part, 0, 8) != 0) {
        window_.AddStatusLine(line + " Incorrect part detected.");
        window_.AddStatusLine("Select correct part from the Configure Dialog.");
        // Noted before the download ends, so that its record closes with it.
        outcome_.Note(ExitCode::WrongPart);
        EndOfDownload();
        // Without a code the batch file that started us would wait for ever.
        Conclude(ExitCode::WrongPart);
        return;
    }
    window_.AddStatusLine(line);
    RecordCount(RunPhase::Identify, 1);
    RecordPhaseEnd(RunPhase::Identify);
    flags_.FileReady = 1;
    LearnChip(text);
}

std::optional<std::chrono::milliseconds> SerialThread::IdentificationReadLimit() const {
    using namespace std::chrono;
    if (idLimit_.count() <= 0 || idBaud_ == 0) return std::nullopt;
    // One read at a slow rate lasts longer than many a limit (40 s for the
    // identification at 50 baud): the read in hand ends with the wait.
    const auto full = milliseconds(CSerialPort::ReadTimeoutMs(idBaud_, kIdLength));
    const auto from = std::max(steady_clock::now(), idLineFree_);
    const auto left = ceil<milliseconds>(idSince_ + idLimit_ - from);
    if (left >= full) return std::nullopt;
    return std::max(left, milliseconds(0));
}

void SerialThread::LearnChip(const std::string& id) {
    const std::string partName = id.substr(0, 8);
    const Settings s = CurrentSettings();
    const std::string kstart = ReadPartKey(s.partDbPath, partName, "KStart", "-1");
    if (kstart == "-1") {
        window_.AddStatusLine("*** Please contact ZEL for an updated zelchip.ini ***");
    }
    std::uint32_t limit = 0;
    ChipValues chip;
    chip.flashLimit = ScanHex0x(kstart, limit) ? limit : 0x8F800;

    bool legacy = false;
    for (const char* name : kLegacyParts) {
        if (partName == name) legacy = true;
    }
    bool newRevision = true;
    if (legacy) {
        // Characters above 0x7F count as earlier revisions, as a signed
        // comparison gives.
        newRevision = id.size() >= 18 && static_cast<signed char>(id[15]) >= 'I' && id[17] >= '1' &&
                      id[17] <= '9';
    }
    chip.protectSupported = newRevision;
    chip.resetSupported = newRevision;
    chip.halfwordAlign = !newRevision;
    std::lock_guard<std::mutex> lock(chipMutex_);
    chip_ = chip;
}

void SerialThread::RunStep() {
    // The request is taken now, so that a Run/Reset pressed while this step
    // is in hand asks for another one instead of vanishing with this one.
    // The step leaves the download flags alone for the same reason: a Start
    // pressed meanwhile is served once the step is over.
    flags_.RunRequest = 0;
    const Settings s = CurrentSettings();
    ISerialPort& port = Port();
    // A Run/Reset on its own is a run of its own.
    const bool afterDownload = link_ != nullptr;
    if (!recordOpen_) BeginRecord(false);
    RecordPhase(RunPhase::Connect);
    if (!port.Open(s.port, s.baud)) {
        ReportFailure("Can not open COM port.", ExitCode::Port);
        CloseRecord();
        link_.reset();
        // Served once: an unattended run must not retry the open for ever.
        flags_.Unattended.RunStepServed();
        return;
    }
    OpenLink(s, afterDownload);
    RecordCount(RunPhase::Connect, 1);
    RecordPhaseEnd(RunPhase::Connect);
    std::uint32_t value = static_cast<std::uint32_t>(s.runMode);
    if (!Chip().resetSupported && value != 0) {
        window_.AppendStatusLine("\"Reset\" unsupported. Performing \"Run\" instead");
        value = 0;
    }
    RecordPhase(RunPhase::Run);
    RecordRunCommand(value != 0);
    const int score = Send(CommandFrame::Run(value));
    if (!Acknowledged(score)) {
        Conclude(ExitCode::Port);
        window_.AppendStatusLine("Run Communications failure.");
        window_.AddStatusLine("    Re-enter download to continue.");
    } else {
        window_.AddStatusLine("Running.");
        window_.EnableButton(kRunResetButton, false);
        RecordCount(RunPhase::Run, 1);
        Conclude(ExitCode::Success);
    }
    ClosePort();
    CloseRecord();
    link_.reset();
    flags_.Unattended.RunStepServed();
}

std::uint32_t ParseProtectionKey(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }
    std::uint32_t value = 0;
    ScanHexDigits32(text, i, value);
    return value;
}

std::string DisplayName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace talvex
