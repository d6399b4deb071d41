// The flash sequence: count, erase, program, verify, protect, and the
// outcome. The image is streamed from the file for every pass; what the count
// pass learnt of it is the yardstick for every later pass.

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <vector>

#include "command_frame.h"
#include "frame_packer.h"
#include "hex_reader.h"
#include "protection_groups.h"
#include "serial_port.h"
#include "serial_thread.h"

namespace talvex {

// The image as the count pass read it.
struct CheckedImage {
    std::string path;
    std::string name; // for messages
    ImageCount count;
    ImageShadow shadow;
};

namespace {

constexpr char kMisalignedText[] =
    "Answers from the target came out of step with the frames sent, so its acknowledgements "
    "cannot be trusted. Process aborted.";

std::string Format(const char* format, std::uint32_t a, std::uint32_t b) {
    char text[128];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long>(a),
                  static_cast<unsigned long>(b));
    return text;
}

// The count pass's own "File Open Error." stands for a file that cannot be
// opened; a FIFO or a device is named, as the user may not know it is one.
std::string OpenFailureText(const CHexReader& reader, const std::string& path) {
    if (reader.LastOpenFailure() == ImageOpenFailure::NotRegularFile) {
        return path + " is not a regular file.";
    }
    return "File Open Error.";
}

} // namespace

void SerialThread::FlashSequence() {
    const Settings s = CurrentSettings();
    const ChipValues chip = Chip();
    CheckedImage image{ImagePath(), {}, {}, ImageShadow(chip.flashLimit)};
    image.name = DisplayName(image.path);
    errorState_ = 0;
    abandoned_ = false;
    window_.SetProgressStep(1);

    CHexReader reader;
    reader.SetHalfwordAlign(chip.halfwordAlign);
    reader.SetStopFlag(&stop_);
    NotifyPass(ImagePass::Count);
    RecordPhase(RunPhase::Check);
    if (!reader.OpenImage(image.path)) {
        ReportFailure(OpenFailureText(reader, image.path), ExitCode::Image);
        EndOfDownload();
        return;
    }
    image.count = CountImage(reader, image.name, &stop_, &image.shadow);
    if (!image.count.valid) {
        // A damaged image is refused before anything is erased or written.
        if (Go()) ReportFailure(image.count.message, ExitCode::Image);
        EndOfDownload();
        return;
    }
    RecordCount(RunPhase::Check, image.count.size);
    RecordPhaseEnd(RunPhase::Check);
    reader.Rewind();

    if (IsOn(s.massErase)) {
        reader.CloseImage();
        window_.AddStatusLine("Mass Erasing ");
        RecordPhase(RunPhase::MassErase);
        errorState_ = Send(CommandFrame::Erase(0, 0));
        if (Failed()) {
            NoteOutcome(ExitCode::Erase);
            if (Unattended()) EndWithResult(ExitCode::Erase);
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            EndOfDownload();
            return;
        }
        if (PassMisaligned()) {
            // One frame, and no way to have the target show its flash is
            // blank: an answer that may not be its own is no success.
            errorState_ = kNeverAcknowledged;
            ReportFailure(kMisalignedText, ExitCode::Erase);
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            EndOfDownload();
            return;
        }
        RecordCount(RunPhase::MassErase, 1);
        RecordPhaseEnd(RunPhase::MassErase);
        window_.AppendStatusLine("Done. Cycle board power.");
        window_.AddStatusLine("    Change options before downloading again.");
        NoteOutcome(ExitCode::Success);
        if (Unattended()) EndWithResult(ExitCode::Success);
    } else {
        // A record outside the flash found by the page plan goes straight
        // to the outcome; every other failure lets the later steps look at
        // the error state themselves.
        bool planFailure = false;
        // Answers that fell out of step during the erase or the write leave
        // the written image unconfirmed; the target verifies it before the
        // run may end well.
        std::optional<ExitCode> unconfirmed;
        if (IsOn(s.program)) {
            planFailure = !PagePlanAndErase(reader, image);
            if (!planFailure && PassMisaligned()) unconfirmed = ExitCode::Erase;
        }
        reader.CloseImage();
        if (!planFailure) {
            if (IsOn(s.program) && !Failed() && Go()) {
                RecordPass(PassKind::Program, image, s.frameBytes);
                if (PassMisaligned() && !unconfirmed) unconfirmed = ExitCode::Write;
            }
            if (unconfirmed && !Failed() && Go()) {
                ConfirmByVerify(image, s.frameBytes, *unconfirmed);
            }
            if (IsOn(s.verify) && !Failed() && Go()) {
                RecordPass(PassKind::Verify, image, s.frameBytes);
                if (PassMisaligned()) ConfirmByVerify(image, s.frameBytes, ExitCode::Verify);
            }
            if (IsOn(s.protect)) {
                ProtectionStep(s);
                if (PassMisaligned()) {
                    // The target cannot show which units it protected.
                    errorState_ = kNeverAcknowledged;
                    ReportFailure(kMisalignedText, ExitCode::Protection);
                }
            }
        }
        if (Failed() || abandoned_) {
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            NoteOutcome(ExitCode::FlashError);
            if (Unattended()) EndWithResult(ExitCode::FlashError);
            EndOfDownload();
            return;
        }
        NoteOutcome(ExitCode::Success);
        window_.AppendStatusLine("Flashing Complete.");
        window_.AddStatusLine(s.runMode == 1 ? "    Click Reset to run program."
                                             : "    Click Run to run program.");
        if (Unattended()) {
            flags_.UnattendedMode = 2;
        } else if (IsOn(s.autorun)) {
            flags_.RunRequest = 1;
        }
    }

    // The unattended ending. Once a code has been asked for (a reported
    // failure, or a mass erase's success) it stands, and no run step follows.
    if (Unattended() && !resultAsked_) {
        if (IsOn(s.autorun)) {
            flags_.UnattendedMode = 3;
        } else {
            EndWithResult(ExitCode::Success);
        }
    }
    EndOfDownload();
}

SerialThread::PassEnd SerialThread::WalkImage(CHexReader& reader, const CheckedImage& image,
                                              bool padFromImage,
                                              const std::function<bool(const HexRecord&)>& step) {
    ImageDigest digest;
    // Records go on only once the shadow has confirmed their bytes; pads of
    // verify frames come from the pages this pass assembles where the shadow
    // keeps no bytes.
    const bool pads = reader.HalfwordAlign();
    ShadowPass pass(image.shadow, pads && padFromImage);
    HexRecord record;
    const auto handOn = [&]() {
        while (pass.Next(record)) {
            if (Failed() || !Go()) return false;
            if (pads) PadToHalfwords(record, padFromImage ? &pass : nullptr);
            if (!step(record)) return false;
        }
        return true;
    };
    std::string text = reader.NextRecordText();
    reader.ResetBase();
    while (!text.empty() && !CHexReader::IsEndRecord(text)) {
        if (Failed() || !Go()) return PassEnd::Cut;
        // Every text was sound when counted; one that is not now, or whose
        // bytes differ from the count's, comes from another file.
        if (reader.LastTextTooLong() || !IsSoundRecordText(text)) return PassEnd::Changed;
        digest.Add(text);
        if (!pass.Take(reader.ParseRecord(text, false))) return PassEnd::Changed;
        if (!handOn()) return PassEnd::Cut;
        text = reader.NextRecordText();
    }
    if (!Go()) return PassEnd::Cut; // a stop shows as the end of the file
    if (reader.ReadFailed()) return PassEnd::ReadFailed;
    // Records gone, added or repeated, or the end record lost, show here;
    // records still waiting for their page are never used.
    digest.endRecord = !text.empty();
    if (!(digest == image.count.digest) || !pass.Complete()) return PassEnd::Changed;
    return handOn() ? PassEnd::Complete : PassEnd::Cut;
}

bool SerialThread::ReportBrokenPass(PassEnd end, const CheckedImage& image) {
    if (end != PassEnd::Changed && end != PassEnd::ReadFailed) return false;
    errorState_ = kNeverAcknowledged;
    ReportFailure(end == PassEnd::Changed ? image.name + " changed during the download."
                                          : "Cannot read " + image.name + ".",
                  ExitCode::Image);
    return true;
}

bool SerialThread::PagePlanAndErase(CHexReader& reader, const CheckedImage& image) {
    const std::uint32_t flashLimit = image.shadow.FlashLimit();
    // One flag per page of the whole flash below the kernel.
    const std::uint32_t pages =
        flashLimit > kFlashBase ? (flashLimit - kFlashBase + kPageSize - 1) / kPageSize : 0;
    std::vector<bool> pageMap(pages, false);

    NotifyPass(ImagePass::PagePlan);
    const PassEnd end = WalkImage(reader, image, false, [&](const HexRecord& record) {
        const std::uint32_t a = record.address;
        const std::int32_t n = record.count;
        if (!RecordFits(a, n, flashLimit)) {
            errorState_ = kNeverAcknowledged;
            ReportFailure(Format("Wrong memory address 0x%lx - 0x%lx \n Erase aborted.", a,
                                 a + static_cast<std::uint32_t>(n) - 1u),
                          ExitCode::Address);
            return false;
        }
        if (n > 0) {
            pageMap[FlashOffset(a) / kPageSize] = true;
            pageMap[(FlashOffset(a) + static_cast<std::uint32_t>(n) - 1u) / kPageSize] = true;
        }
        return true;
    });
    reader.CloseImage();
    if (ReportBrokenPass(end, image)) return false;
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
    RecordPhase(RunPhase::Erase);

    std::uint32_t sent = 0;
    for (std::uint32_t page = 0; page < pages && Go(); ++page) {
        if (!pageMap[page]) continue;
        window_.SetProgressPos(sent);
        errorState_ = Send(CommandFrame::Erase(page * kPageSize, 1));
        ++sent;
        if (Failed()) {
            char message[96];
            std::snprintf(message, sizeof message, "Erase failure at 0x%08lX. Process aborted.",
                          static_cast<unsigned long>((page * kPageSize) | kFlashBase));
            ReportFailure(message, ExitCode::Erase);
            break;
        }
        RecordCount(RunPhase::Erase, sent);
    }
    RecordPhaseEnd(RunPhase::Erase);
    return true;
}

void SerialThread::ConfirmByVerify(const CheckedImage& image, int frameBytes, ExitCode code) {
    window_.AddStatusLine("    The target verifies what was sent.");
    RecordPass(PassKind::Verify, image, frameBytes, code);
    // Out of step again: nothing the target answered can be relied on.
    if (PassMisaligned()) {
        errorState_ = kNeverAcknowledged;
        ReportFailure(kMisalignedText, code);
    }
}

void SerialThread::RecordPass(PassKind kind, const CheckedImage& image, int frameBytes,
                              ExitCode verifyCode) {
    const bool program = kind == PassKind::Program;
    CHexReader reader;
    reader.SetHalfwordAlign(Chip().halfwordAlign);
    reader.SetStopFlag(&stop_);
    NotifyPass(program ? ImagePass::Program : ImagePass::Verify);
    if (!reader.OpenImage(image.path)) {
        // The file went away (or was replaced by something else) after it
        // was counted.
        errorState_ = kNeverAcknowledged;
        ReportFailure(OpenFailureText(reader, image.path), ExitCode::Image);
        return;
    }
    char line[96];
    std::snprintf(line, sizeof line, "%s%d%s", program ? "Downloading ... " : "Verifying ... ",
                  static_cast<int>(image.count.size), " bytes");
    window_.AddStatusLine(line);
    window_.SetProgressPhase(program ? ProgressPhase::Write : ProgressPhase::Verify);
    window_.SetProgressRange(static_cast<std::uint32_t>(image.count.size));
    const RunPhase phase = program ? RunPhase::Write : RunPhase::Verify;
    RecordPhase(phase);
    std::uint64_t acknowledged = 0;

    const std::uint32_t flashLimit = image.shadow.FlashLimit();
    const char* failure = program ? "Error at 0x%lx - 0x%lx \n Download aborted."
                                  : "Error at 0x%lx - 0x%lx \n Verify aborted.";
    std::uint32_t bytesSent = 0;
    // Packed frames need no longer answer wait than one frame per record:
    // the link waits for the single answer byte from the moment the frame
    // has left the port (the write itself has a time-out that grows with the
    // frame), and 250-byte frames go out unpacked too, for every record
    // longer than that.
    FramePacker packer(
        PackedFrameLimit(frameBytes, reader.HalfwordAlign()), reader.HalfwordAlign(),
        [&](const DataFrame& f) {
            window_.SetProgressPos(bytesSent);
            const auto frame = program ? CommandFrame::Make('W', f.address, f.data, f.count)
                                       : CommandFrame::Verify(f.address, f.data, f.count);
            bytesSent += static_cast<std::uint32_t>(f.recordBytes);
            errorState_ = Send(*frame);
            if (Failed()) {
                ReportFailure(
                    Format(failure, f.address, f.address + static_cast<std::uint32_t>(f.count)),
                    program ? ExitCode::Write : verifyCode);
                return false;
            }
            acknowledged += f.recordBytes;
            RecordCount(phase, acknowledged);
            return true;
        });
    // Writing pads with erased flash; verifying pads with the image's own
    // bytes, which a correctly programmed neighbour holds.
    const PassEnd end = WalkImage(reader, image, !program, [&](const HexRecord& record) {
        const std::uint32_t a = record.address;
        const std::int32_t n = record.count;
        // Only writing checks addresses; the target itself refuses to
        // verify outside its flash.
        if (program && !RecordFits(a, n, flashLimit)) {
            // The records before this one are written before it is refused,
            // as they are one frame per record; a refusal of theirs comes
            // first.
            if (!packer.Flush()) return false;
            errorState_ = kNeverAcknowledged;
            ReportFailure(Format("Wrong memory address 0x%lx - 0x%lx \n Download aborted.", a,
                                 a + static_cast<std::uint32_t>(n) - 1u),
                          ExitCode::Address);
            return false;
        }
        if (n <= 0) return true;
        return packer.Add(a, record.data, static_cast<std::size_t>(n));
    });
    // What the packer still holds goes out only when the whole image was
    // read as it was checked: after a stop, a failure or a changed file the
    // pass ends where it stands.
    if (end == PassEnd::Complete && Go()) packer.Flush();
    RecordPhaseEnd(phase);
    ReportBrokenPass(end, image);
}

void SerialThread::ProtectionStep(const Settings& s) {
    static const char kUnsupported[] =
        "Flash protection on this chip revision is not supported by this TALVEX version";
    if (!Chip().protectSupported) {
        ReportFailure(kUnsupported, ExitCode::Protection);
        window_.AppendStatusLine(kUnsupported);
        return;
    }
    window_.AddStatusLine("Protecting " + FormatMask(s.mask) + " with key");
    window_.SetProgressPhase(ProgressPhase::Protect);
    RecordPhase(RunPhase::Protect);
    std::uint64_t unitsDone = 0;

    if (!Failed() && Go()) {
        errorState_ = Send(CommandFrame::Protect(0, 0x00));
        if (Failed()) {
            ReportFailure("Communications failure. Protecting aborted.", ExitCode::Protection);
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
                errorState_ = Send(CommandFrame::Protect(kFlashBase + unit, 0x0F));
                if (Failed()) {
                    ReportFailure("Mask failure. Process aborted.", ExitCode::Protection);
                } else {
                    RecordCount(RunPhase::Protect, ++unitsDone);
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
        errorState_ = Send(CommandFrame::Protect(ParseProtectionKey(s.key0), 0x01));
        if (Failed()) {
            ReportFailure("Protection failure. Process aborted.", ExitCode::Protection);
        }
    }
    RecordPhaseEnd(RunPhase::Protect);
}

} // namespace talvex
