// The flash sequence: count, erase, program, verify, protect, and the
// outcome. The image is streamed from the file for every pass.

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "command_frame.h"
#include "hex_reader.h"
#include "protection_groups.h"
#include "serial_port.h"
#include "serial_thread.h"

namespace talvex {

namespace {

constexpr std::uint32_t kFlashBase = 0x80000;
constexpr std::uint32_t kPageSize = 512;

std::string Format(const char* format, std::uint32_t a, std::uint32_t b) {
    char text[128];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long>(a),
                  static_cast<unsigned long>(b));
    return text;
}

// The record lies wholly below the kernel. Records are offsets; the check is
// made on their absolute addresses.
bool Fits(std::uint32_t address, std::int32_t count, std::uint32_t flashLimit) {
    const std::uint32_t absolute = address | kFlashBase;
    const std::uint32_t last = absolute + static_cast<std::uint32_t>(count) - 1u;
    // A record that runs past the top of the address space would wrap below
    // the limit; it fits nowhere.
    if (count > 0 && last < absolute) return false;
    return absolute < flashLimit && last < flashLimit;
}

// Frames carry at most 250 data bytes; a longer record goes out as several
// frames whose addresses follow on. 250 is even, so every piece after the
// first starts at the same parity as the record itself.
template <typename SendPiece>
bool ForEachPiece(const HexRecord& record, SendPiece&& send) {
    std::int32_t done = 0;
    while (done < record.count) {
        const std::int32_t n = std::min<std::int32_t>(record.count - done,
                                                      static_cast<std::int32_t>(kMaxFrameData));
        if (!send(record.address + static_cast<std::uint32_t>(done), record.data + done, n)) {
            return false;
        }
        done += n;
    }
    return true;
}

} // namespace

void SerialThread::FlashSequence() {
    const Settings s = CurrentSettings();
    const std::string path = ImagePath();
    bool failureReported = false;
    errorState_ = 0;
    abandoned_ = false;
    window_.SetProgressStep(1);

    CHexReader reader;
    reader.SetHalfwordAlign(Chip().halfwordAlign);
    if (!reader.OpenImage(path)) {
        ReportFailure("File Open Error.", ExitCode::Image);
        EndOfDownload();
        return;
    }
    const ImageCount count = CountImage(reader, DisplayName(path), &stop_);
    if (!count.valid) {
        // A damaged image is refused before anything is erased or written.
        if (Go()) ReportFailure(count.message, ExitCode::Image);
        EndOfDownload();
        return;
    }
    const std::int32_t imageSize = count.size;
    reader.Rewind();

    if (IsOn(s.massErase)) {
        reader.CloseImage();
        window_.AddStatusLine("Mass Erasing ");
        errorState_ = SendFrame(Port(), CommandFrame::Erase(0, 0), &stop_);
        if (Failed()) {
            if (Unattended()) window_.EndWithResult(ExitCode::Erase);
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            EndOfDownload();
            return;
        }
        window_.AppendStatusLine("Done. Cycle board power.");
        window_.AddStatusLine("    Change options before downloading again.");
        if (Unattended()) window_.EndWithResult(ExitCode::Success);
    } else {
        // A record outside the flash found by the page plan goes straight
        // to the outcome; every other failure lets the later steps look at
        // the error state themselves.
        bool addressFailure = false;
        if (IsOn(s.program)) {
            addressFailure = !PagePlanAndErase(reader, failureReported);
        }
        reader.CloseImage();
        if (!addressFailure) {
            if (IsOn(s.program) && !Failed() && Go()) {
                RecordPass(PassKind::Program, imageSize, failureReported);
            }
            if (IsOn(s.verify) && !Failed() && Go()) {
                RecordPass(PassKind::Verify, imageSize, failureReported);
            }
            if (IsOn(s.protect)) {
                ProtectionStep(s, failureReported);
            }
        }
        if (Failed() || abandoned_) {
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            if (Unattended()) window_.EndWithResult(ExitCode::FlashError);
            EndOfDownload();
            return;
        }
        window_.AppendStatusLine("Flashing Complete.");
        window_.AddStatusLine(s.runMode == 1 ? "    Click Reset to run program."
                                             : "    Click Run to run program.");
        if (Unattended()) {
            flags_.UnattendedMode = 2;
        } else if (IsOn(s.autorun)) {
            flags_.RunRequest = 1;
        }
    }

    // The unattended ending: after a reported failure its code stands.
    if (Unattended() && !failureReported) {
        if (IsOn(s.autorun)) {
            flags_.UnattendedMode = 3;
        } else {
            window_.EndWithResult(ExitCode::Success);
        }
    }
    EndOfDownload();
}

bool SerialThread::PagePlanAndErase(CHexReader& reader, bool& failureReported) {
    const std::uint32_t flashLimit = Chip().flashLimit;
    // One flag per page of the whole flash below the kernel.
    const std::uint32_t pages =
        flashLimit > kFlashBase ? (flashLimit - kFlashBase + kPageSize - 1) / kPageSize : 0;
    std::vector<bool> pageMap(pages, false);

    std::string text = reader.NextRecordText();
    reader.ResetBase();
    while (!text.empty() && !CHexReader::IsEndRecord(text) && !Failed() && Go()) {
        const HexRecord& record = reader.ParseRecord(text, true);
        const std::uint32_t a = record.address;
        const std::int32_t n = record.count;
        if (!Fits(a, n, flashLimit)) {
            errorState_ = kNeverAcknowledged;
            ReportFailure(Format("Wrong memory address 0x%lx - 0x%lx \n Erase aborted.", a,
                                 a + static_cast<std::uint32_t>(n) - 1u),
                          ExitCode::Address);
            failureReported = true;
        } else if (n > 0) {
            const std::uint32_t first = ((a | kFlashBase) - kFlashBase) / kPageSize;
            const std::uint32_t last =
                ((a | kFlashBase) + static_cast<std::uint32_t>(n) - 1u - kFlashBase) / kPageSize;
            pageMap[first] = true;
            pageMap[last] = true;
        }
        text = reader.NextRecordText();
    }
    reader.CloseImage();
    if (Failed()) return false;
    if (!Go()) return true;

    std::uint32_t toErase = 0;
    for (bool flag : pageMap) toErase += flag ? 1 : 0;
    char line[96];
    std::snprintf(line, sizeof line, "Erasing %d pages of 512 bytes each.",
                  static_cast<int>(toErase));
    window_.AddStatusLine(line);
    window_.SetProgressPhase(ProgressPhase::Erase);
    window_.SetProgressRange(toErase);

    std::uint32_t sent = 0;
    for (std::uint32_t page = 0; page < pages && Go(); ++page) {
        if (!pageMap[page]) continue;
        window_.SetProgressPos(sent);
        errorState_ = SendFrame(Port(), CommandFrame::Erase(page * kPageSize, 1), &stop_);
        ++sent;
        if (Failed()) {
            char message[96];
            std::snprintf(message, sizeof message, "Erase failure at 0x%08lX. Process aborted.",
                          static_cast<unsigned long>((page * kPageSize) | kFlashBase));
            ReportFailure(message, ExitCode::Erase);
            failureReported = true;
            break;
        }
    }
    return true;
}

void SerialThread::RecordPass(PassKind kind, std::int32_t imageSize, bool& failureReported) {
    const bool program = kind == PassKind::Program;
    CHexReader reader;
    reader.SetHalfwordAlign(Chip().halfwordAlign);
    if (!reader.OpenImage(ImagePath())) {
        // The file went away after it was counted.
        errorState_ = kNeverAcknowledged;
        ReportFailure("File Open Error.", ExitCode::Image);
        failureReported = true;
        return;
    }
    std::string text = reader.NextRecordText();
    char line[96];
    std::snprintf(line, sizeof line, "%s%d%s", program ? "Downloading ... " : "Verifying ... ",
                  static_cast<int>(imageSize), " bytes");
    window_.AddStatusLine(line);
    window_.SetProgressPhase(program ? ProgressPhase::Write : ProgressPhase::Verify);
    window_.SetProgressRange(static_cast<std::uint32_t>(imageSize));

    const std::uint32_t flashLimit = Chip().flashLimit;
    const char* failure = program ? "Error at 0x%lx - 0x%lx \n Download aborted."
                                  : "Error at 0x%lx - 0x%lx \n Verify aborted.";
    reader.ResetBase();
    std::uint32_t bytesSent = 0;
    while (!text.empty() && !CHexReader::IsEndRecord(text) && !Failed() && Go()) {
        const HexRecord& record = reader.ParseRecord(text, true);
        const std::uint32_t a = record.address;
        const std::int32_t n = record.count;
        // Only writing checks addresses; the target itself refuses to
        // verify outside its flash.
        if (program && !Fits(a, n, flashLimit)) {
            errorState_ = kNeverAcknowledged;
            ReportFailure(Format("Wrong memory address 0x%lx - 0x%lx \n Download aborted.", a,
                                 a + static_cast<std::uint32_t>(n) - 1u),
                          ExitCode::Address);
            failureReported = true;
        } else if (n > 0) {
            ForEachPiece(record, [&](std::uint32_t at, const std::uint8_t* data, std::int32_t len) {
                window_.SetProgressPos(bytesSent);
                const auto size = static_cast<std::size_t>(len);
                const auto frame = program ? CommandFrame::Make('W', at, data, size)
                                           : CommandFrame::Verify(at, data, size);
                bytesSent += static_cast<std::uint32_t>(len);
                errorState_ = SendFrame(Port(), *frame, &stop_);
                if (Failed()) {
                    ReportFailure(Format(failure, at, at + static_cast<std::uint32_t>(len)),
                                  program ? ExitCode::Write : ExitCode::Verify);
                    failureReported = true;
                    return false;
                }
                return true;
            });
        }
        text = reader.NextRecordText();
    }
}

void SerialThread::ProtectionStep(const Settings& s, bool& failureReported) {
    static const char kUnsupported[] =
        "Flash protection on this chip revision is not supported by this TALVEX version";
    if (!Chip().protectSupported) {
        ReportFailure(kUnsupported, ExitCode::Protection);
        failureReported = true;
        window_.AppendStatusLine(kUnsupported);
        return;
    }
    window_.AddStatusLine("Protecting " + FormatMask(s.mask) + " with key");
    window_.SetProgressPhase(ProgressPhase::Protect);

    if (!Failed() && Go()) {
        errorState_ = SendFrame(Port(), CommandFrame::Protect(0, 0x00), &stop_);
        if (Failed()) {
            ReportFailure("Communications failure. Protecting aborted.", ExitCode::Protection);
            failureReported = true;
        }
    }

    const ProtectionGroupTable groups = BuildProtectionGroups(s.partDbPath, s.part);
    for (const ProtectionGroup& group : groups) {
        if (group.start == group.end) break;
        if (group.start > group.end) continue;
        std::uint32_t unit = group.start;
        std::uint32_t bit = group.firstBit;
        do {
            const std::uint32_t last = unit + group.pageSize * group.pagesPerUnit - 1u;
            const std::uint32_t half = group.highWord ? static_cast<std::uint32_t>(s.mask >> 32)
                                                      : static_cast<std::uint32_t>(s.mask);
            const bool selected = (half >> (bit % 32)) & 1u;
            if (selected && !Failed() && Go()) {
                errorState_ = SendFrame(Port(), CommandFrame::Protect(kFlashBase + unit, 0x0F), &stop_);
                if (Failed()) {
                    ReportFailure("Mask failure. Process aborted.", ExitCode::Protection);
                    failureReported = true;
                }
            }
            // A malformed group that would not advance, or would wrap, ends
            // the walk of that group instead of looping for ever.
            if (last + 1u <= unit) break;
            unit = last + 1u;
            ++bit;
        } while (unit < group.end && Go());
    }

    if (!Failed() && Go()) {
        errorState_ = SendFrame(Port(), CommandFrame::Protect(ParseProtectionKey(s.key0), 0x01),
                                &stop_);
        if (Failed()) {
            ReportFailure("Protection failure. Process aborted.", ExitCode::Protection);
            failureReported = true;
        }
    }
}

} // namespace talvex
