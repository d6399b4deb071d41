#include "target_connection.h"

#include <algorithm>
#include <cstring>

#include "frame_bytes.h"
#include "hex_digits.h"
#include "output_drain.h"
#include "part_db.h"
#include "serial_port.h"

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

void TargetConnection::Connect() {
    const Settings s = c_.CurrentSettings();
    IWindowOps& window = c_.Window();
    c_.BeginRecord(true);
    c_.RecordPhase(RunPhase::Connect);
    if (!c_.Port().Open(s.port, s.baud)) {
        c_.Flags().DownloadActive = 0;
        c_.ReportFailure("Can not open COM port.", ExitCode::Port);
        c_.CloseRecord();
        return;
    }
    c_.OpenLink(s, false);
    c_.RecordCount(RunPhase::Connect, 1);
    c_.RecordPhaseEnd(RunPhase::Connect);
    c_.RecordPhase(RunPhase::Identify);
    since_ = std::chrono::steady_clock::now();
    lineFree_ = since_;
    if (!ParseBaud(s.baud, baud_)) baud_ = 0;
    window.AppendStatusLine("Ready @ " + s.baud + " baud n,8,1.");
    window.AddStatusLine("    Press Download and pulse Reset on hardware.");
    window.EnableButton(kStartButton, false);
    window.EnableButton(kRunResetButton, false);
    window.EnableButton(kConfigureButton, false);
}

bool TargetConnection::WriteWakeByte() {
    const std::uint8_t wake = kWakeByte;
    const auto now = std::chrono::steady_clock::now();
    if (limit_.count() > 0 && baud_ > 0) {
        // A wake byte that cannot have crossed the line by the end of the
        // wait could only make that wait overrun; its answer would come too
        // late anyway.
        const auto wire = WireTime(1, baud_);
        if (now + wire > since_ + limit_) return true;
        // The port counts the next read's time-out from when this byte has
        // left the line; the read's own limit must allow for that.
        lineFree_ = std::max(now, lineFree_) + wire;
    }
    for (int attempt = 0; attempt < kWakeWriteTries && !c_.Stopping(); ++attempt) {
        std::size_t written = 0;
        if (!c_.Port().Write(&wake, 1, written)) return false;
        if (written == 1) return true;
    }
    return c_.Stopping();
}

void TargetConnection::ReadIdentification() {
    c_.Outcome().ClearStep();
    IWindowOps& window = c_.Window();
    std::uint8_t buffer[kIdLength + 1] = {};
    std::size_t received = 0;
    ISerialPort& port = c_.Port();
    bool readOk = true;
    if (const auto left = ReadLimit()) {
        readOk = port.ReadFor(buffer, kIdLength, received, *left);
    } else {
        readOk = port.Read(buffer, kIdLength, received);
    }
    if (readOk && received == 0 && c_.Flags().WakeByte.load() == 1) {
        // A wake byte that cannot go out means the line is gone as surely
        // as a failed read does.
        readOk = WriteWakeByte();
    }
    if (!readOk) {
        c_.Flags().DownloadActive = 0;
        // The download ends as after any other failure, the device let go
        // before the message waits for the user. A line that failed once is
        // opened afresh by the next Start; one that hung up never comes back
        // on this handle at all.
        c_.ClosePort();
        c_.ReportFailure("Can not read COM port.", ExitCode::Port);
        c_.EndOfDownload();
        return;
    }
    if (received == 0) {
        EndIfOverdue();
        return;
    }

    const std::size_t length = strnlen(reinterpret_cast<const char*>(buffer), received);
    const std::string text(reinterpret_cast<const char*>(buffer), length);
    const std::string line = text + " received.";
    port.Purge(PurgeWhat::Output);

    if (text.compare(0, 5, "ZaRQ4") != 0 || text.size() < 5) {
        window.AddStatusLine(line + "Waiting for correct ID string.");
        EndIfOverdue();
        return;
    }
    c_.SetIdentification(text);
    c_.RecordIdentified(text);
    const Settings s = c_.CurrentSettings();
    if (text.size() < 8 || s.part.size() < 8 || text.compare(0, 8, s.part, 0, 8) != 0) {
        window.AddStatusLine(line + " Incorrect part detected.");
        window.AddStatusLine("Select correct part from the Configure Dialog.");
        // Noted before the download ends, so that its record closes with it.
        c_.Outcome().Note(ExitCode::WrongPart);
        c_.EndOfDownload();
        // Without a code the batch file that started us would wait for ever.
        c_.Conclude(ExitCode::WrongPart);
        return;
    }
    window.AddStatusLine(line);
    c_.RecordCount(RunPhase::Identify, 1);
    c_.RecordPhaseEnd(RunPhase::Identify);
    c_.Flags().FileReady = 1;
    LearnChip(text);
}

std::optional<std::chrono::milliseconds> TargetConnection::ReadLimit() const {
    using namespace std::chrono;
    if (limit_.count() <= 0 || baud_ == 0) return std::nullopt;
    // One read at a slow rate lasts longer than many a limit (40 s for the
    // identification at 50 baud): the read in hand ends with the wait.
    const auto full = milliseconds(CSerialPort::ReadTimeoutMs(baud_, kIdLength));
    const auto from = std::max(steady_clock::now(), lineFree_);
    const auto left = ceil<milliseconds>(since_ + limit_ - from);
    if (left >= full) return std::nullopt;
    return std::max(left, milliseconds(0));
}

void TargetConnection::EndIfOverdue() {
    if (limit_.count() <= 0 || std::chrono::steady_clock::now() - since_ < limit_) return;
    c_.ReportFailure("No identification from the target on " + c_.CurrentSettings().port +
                         " within " + std::to_string(limit_.count()) +
                         " s. Is it in bootloader mode?",
                     ExitCode::Port);
    c_.EndOfDownload();
}

void TargetConnection::LearnChip(const std::string& id) {
    const std::string partName = id.substr(0, 8);
    const Settings s = c_.CurrentSettings();
    const std::string kstart = ReadPartKey(s.partDbPath, partName, "KStart", "-1");
    if (kstart == "-1") {
        c_.Window().AddStatusLine("*** Please contact ZEL for an updated zelchip.ini ***");
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
    c_.SetChip(chip);
}

} // namespace talvex
