#include "flash_sequence.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "command_frame.h"
#include "hex_digits.h"
#include "frame_packer.h"
#include "hex_reader.h"
#include "protection_groups.h"
#include "serial_counter.h"
#include "serial_port.h"
#include "serial_stamp.h"
#include "sha256.h"

namespace talvex {

// The image as the count pass read it.
struct CheckedImage {
    // Built in one step: a brace list that left the count to its default
    // made the cross compiler's optimiser see its message uninitialised.
    CheckedImage(std::string imagePath, ImageShadow imageShadow)
        : path(std::move(imagePath)), shadow(std::move(imageShadow)) {}
    std::string path;
    std::string name; // for messages
    ImageCount count;
    ImageShadow shadow;
    std::optional<SerialStamp> stamp; // once the board's number is taken
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

void FlashSequence::Run() {
    const Settings s = c_.CurrentSettings();
    const ChipValues chip = c_.Chip();
    CheckedImage image(c_.ImagePath(), ImageShadow(chip.flashLimit));
    image.name = DisplayName(image.path);
    outcome_.BeginSequence();
    c_.SetSerialNumber(std::nullopt);
    window_.SetProgressStep(1);

    CHexReader reader;
    reader.SetHalfwordAlign(chip.halfwordAlign);
    reader.SetStopFlag(&c_.StopFlag());
    c_.NotifyPass(ImagePass::Count);
    c_.RecordPhase(RunPhase::Check);
    if (!reader.OpenImage(image.path)) {
        c_.ReportFailure(OpenFailureText(reader, image.path), ExitCode::Image);
        c_.EndOfDownload();
        return;
    }
    image.count = CountImage(reader, image.name, &c_.StopFlag(), &image.shadow);
    if (!image.count.valid) {
        // A damaged image is refused before anything is erased or written.
        if (ProceedOrAbandon()) c_.ReportFailure(image.count.message, ExitCode::Image);
        c_.EndOfDownload();
        return;
    }
    c_.RecordCount(RunPhase::Check, image.count.size);
    c_.RecordPhaseEnd(RunPhase::Check);
    reader.Rewind();

    if (s.serial.On() && !s.serial.settings) {
        // A front end that checked the settings before opening the port
        // never gets here; the window does, after its identification.
        reader.CloseImage();
        c_.ReportFailure(s.serial.problem, ExitCode::Image);
        c_.EndOfDownload();
        return;
    }

    if (IsOn(s.massErase)) {
        reader.CloseImage();
        window_.AddStatusLine("Mass Erasing ");
        c_.RecordPhase(RunPhase::MassErase);
        outcome_.FrameAnswered(c_.Send(CommandFrame::Erase(0, 0)));
        if (Failed()) {
            c_.Conclude(ExitCode::Erase);
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            c_.EndOfDownload();
            return;
        }
        if (c_.PassMisaligned()) {
            // One frame, and no way to have the target show its flash is
            // blank: an answer that may not be its own is no success.
            outcome_.StepFailed();
            c_.ReportFailure(kMisalignedText, ExitCode::Erase);
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            c_.EndOfDownload();
            return;
        }
        c_.RecordCount(RunPhase::MassErase, 1);
        c_.RecordPhaseEnd(RunPhase::MassErase);
        window_.AppendStatusLine("Done. Cycle board power.");
        window_.AddStatusLine("    Change options before downloading again.");
        c_.Conclude(ExitCode::Success);
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
            planFailure = !PagePlanAndErase(reader, image, s);
            if (!planFailure && c_.PassMisaligned()) unconfirmed = ExitCode::Erase;
        }
        reader.CloseImage();
        if (!planFailure) {
            if (IsOn(s.program) && !Failed() && ProceedOrAbandon()) {
                RecordPass(PassKind::Program, image, s.frameBytes);
                if (c_.PassMisaligned() && !unconfirmed) unconfirmed = ExitCode::Write;
            }
            if (unconfirmed && !Failed() && ProceedOrAbandon()) {
                ConfirmByVerify(image, s.frameBytes, *unconfirmed);
            }
            if (IsOn(s.verify) && !Failed() && ProceedOrAbandon()) {
                RecordPass(PassKind::Verify, image, s.frameBytes);
                if (c_.PassMisaligned()) ConfirmByVerify(image, s.frameBytes, ExitCode::Verify);
            }
            if (IsOn(s.protect)) {
                ProtectionStep(s);
                if (c_.PassMisaligned()) {
                    // The target cannot show which units it protected.
                    outcome_.StepFailed();
                    c_.ReportFailure(kMisalignedText, ExitCode::Protection);
                }
            }
        }
        if (Failed() || outcome_.CutShort()) {
            window_.AppendStatusLine("Flash error.");
            window_.AddStatusLine("    Check setup and try downloading again.");
            c_.Conclude(ExitCode::FlashError);
            c_.EndOfDownload();
            return;
        }
        outcome_.Note(ExitCode::Success);
        window_.AppendStatusLine("Flashing Complete.");
        window_.AddStatusLine(s.runMode == 1 ? "    Click Reset to run program."
                                             : "    Click Run to run program.");
        if (c_.Unattended()) {
            c_.Flags().Unattended.DownloadDone();
        } else if (IsOn(s.autorun)) {
            c_.Flags().RunRequest = 1;
        }
    }

    // The unattended ending. Once a code has been asked for (a reported
    // failure, or a mass erase's success) it stands, and no run step follows.
    if (c_.Unattended() && !outcome_.ResultAsked()) {
        if (IsOn(s.autorun)) {
            c_.Flags().Unattended.AskRunStep();
        } else {
            c_.EndWithResult(ExitCode::Success);
        }
    }
    c_.EndOfDownload();
}

FlashSequence::PassEnd FlashSequence::WalkImage(
    CHexReader& reader, const CheckedImage& image, bool padFromImage,
    const std::function<bool(HexRecord&, const RecordPadding&)>& step) {
    ImageDigest digest;
    // Records go on only once the shadow has confirmed their bytes; pads of
    // verify frames come from the pages this pass assembles where the shadow
    // keeps no bytes.
    const bool pads = reader.HalfwordAlign();
    ShadowPass pass(image.shadow, pads && padFromImage);
    HexRecord record;
    const auto handOn = [&]() {
        while (pass.Next(record)) {
            if (Failed() || !ProceedOrAbandon()) return false;
            RecordPadding padding;
            padding.own = record.count > 0 ? static_cast<std::uint32_t>(record.count) : 0u;
            if (pads) {
                const std::uint32_t address = record.address;
                PadToHalfwords(record, padFromImage ? &pass : nullptr);
                padding.before = address - record.address;
            }
            if (!step(record, padding)) return false;
        }
        return true;
    };
    std::string text = reader.NextRecordText();
    reader.ResetBase();
    while (!text.empty() && !CHexReader::IsEndRecord(text)) {
        if (Failed() || !ProceedOrAbandon()) return PassEnd::Cut;
        // Every text was sound when counted; one that is not now, or whose
        // bytes differ from the count's, comes from another file.
        if (reader.LastTextTooLong() || !IsSoundRecordText(text)) return PassEnd::Changed;
        digest.Add(text);
        if (!pass.Take(reader.ParseRecord(text, false))) return PassEnd::Changed;
        if (!handOn()) return PassEnd::Cut;
        text = reader.NextRecordText();
    }
    if (!ProceedOrAbandon()) return PassEnd::Cut; // a stop shows as the end of the file
    if (reader.ReadFailed()) return PassEnd::ReadFailed;
    // Records gone, added or repeated, or the end record lost, show here;
    // records still waiting for their page are never used.
    digest.endRecord = !text.empty();
    if (!(digest == image.count.digest) || !pass.Complete()) return PassEnd::Changed;
    return handOn() ? PassEnd::Complete : PassEnd::Cut;
}

bool FlashSequence::ReportBrokenPass(PassEnd end, const CheckedImage& image) {
    if (end != PassEnd::Changed && end != PassEnd::ReadFailed) return false;
    outcome_.StepFailed();
    c_.ReportFailure(end == PassEnd::Changed ? image.name + " changed during the download."
                                             : "Cannot read " + image.name + ".",
                     ExitCode::Image);
    return true;
}

bool FlashSequence::PagePlanAndErase(CHexReader& reader, CheckedImage& image, const Settings& s) {
    const std::uint32_t flashLimit = image.shadow.FlashLimit();
    // One flag per page of the whole flash below the kernel.
    const std::uint32_t pages =
        flashLimit > kFlashBase ? (flashLimit - kFlashBase + kPageSize - 1) / kPageSize : 0;
    std::vector<bool> pageMap(pages, false);

    const SerialSettings* serial = s.serial.settings ? &*s.serial.settings : nullptr;
    std::optional<PlaceholderCheck> placeholder;
    if (serial) {
        const std::string problem = SerialPlaceProblem(s, flashLimit);
        if (!problem.empty()) {
            reader.CloseImage();
            outcome_.StepFailed();
            c_.ReportFailure(problem, ExitCode::Image);
            return false;
        }
        placeholder.emplace(*serial);
    }

    c_.NotifyPass(ImagePass::PagePlan);
    const PassEnd end =
        WalkImage(reader, image, false, [&](const HexRecord& record, const RecordPadding& padding) {
            const std::uint32_t a = record.address;
            const std::int32_t n = record.count;
            if (!RecordFits(a, n, flashLimit)) {
                outcome_.StepFailed();
                c_.ReportFailureAt(Format("Wrong memory address 0x%lx - 0x%lx \n Erase aborted.", a,
                                          a + static_cast<std::uint32_t>(n) - 1u),
                                   ExitCode::Address, a);
                return false;
            }
            if (n > 0) {
                pageMap[FlashOffset(a) / kPageSize] = true;
                pageMap[(FlashOffset(a) + static_cast<std::uint32_t>(n) - 1u) / kPageSize] = true;
                if (placeholder) {
                    placeholder->Take(a + padding.before, record.data + padding.before,
                                      padding.own);
                }
            }
            return true;
        });
    reader.CloseImage();
    if (ReportBrokenPass(end, image)) return false;
    if (Failed()) return false;
    if (!ProceedOrAbandon()) return true;
    if (placeholder) {
        // Checked before a number is taken: a refused image burns none.
        const std::string problem = placeholder->Problem();
        if (!problem.empty()) {
            outcome_.StepFailed();
            c_.ReportFailure(problem, ExitCode::Image);
            return false;
        }
        if (!TakeSerial(*serial, image)) return false;
        const std::uint32_t first = FlashOffset(serial->address);
        pageMap[first / kPageSize] = true;
        pageMap[(first + static_cast<std::uint32_t>(serial->bytes) - 1u) / kPageSize] = true;
    }

    std::uint32_t toErase = 0;
    for (bool flag : pageMap) toErase += flag ? 1 : 0;
    char line[96];
    std::snprintf(line, sizeof line, "Erasing %d pages of 512 bytes each.",
                  static_cast<int>(toErase));
    window_.AddStatusLine(line);
    window_.SetProgressPhase(ProgressPhase::Erase);
    window_.SetProgressRange(toErase);
    c_.RecordPhase(RunPhase::Erase);

    std::uint32_t sent = 0;
    for (std::uint32_t page = 0; page < pages && ProceedOrAbandon(); ++page) {
        if (!pageMap[page]) continue;
        window_.SetProgressPos(sent);
        outcome_.FrameAnswered(c_.Send(CommandFrame::Erase(page * kPageSize, 1)));
        ++sent;
        if (Failed()) {
            char message[96];
            std::snprintf(message, sizeof message, "Erase failure at 0x%08lX. Process aborted.",
                          static_cast<unsigned long>((page * kPageSize) | kFlashBase));
            c_.ReportFailureAt(message, ExitCode::Erase, (page * kPageSize) | kFlashBase);
            break;
        }
        c_.RecordCount(RunPhase::Erase, sent);
    }
    c_.RecordPhaseEnd(RunPhase::Erase);
    return true;
}

bool FlashSequence::TakeSerial(const SerialSettings& serial, CheckedImage& image) {
    ILineDatabase* database = c_.LineDatabase();
    const CounterResult taken = !serial.counterDb.empty() && database != nullptr
                                    ? database->TakeSerial(serial, c_.CurrentSettings().port)
                                    : TakeSerialNumber(serial);
    if (taken.status != CounterStatus::Taken) {
        outcome_.StepFailed();
        // A server that cannot be reached is a connection failure, as a
        // port that does not open is: nothing about the image is wrong.
        c_.ReportFailure(taken.message, taken.status == CounterStatus::Unreachable
                                            ? ExitCode::Port
                                            : ExitCode::Image);
        return false;
    }
    std::string whyNot;
    const auto bytes = EncodeSerialNumber(serial, taken.number, whyNot);
    // From here on the number is this board's, used or not.
    c_.SetSerialNumber(taken.number);
    c_.RecordSerial(taken.number, bytes ? *bytes : std::vector<std::uint8_t>{});
    if (!bytes) {
        outcome_.StepFailed();
        c_.ReportFailure(whyNot + " Nothing was erased.", ExitCode::Image);
        return false;
    }
    SerialStamp stamp;
    stamp.number = taken.number;
    stamp.address = serial.address | kFlashBase;
    stamp.bytes = *bytes;
    stamp.inImage = !serial.placeholder.empty();
    image.stamp = std::move(stamp);
    window_.AddStatusLine("Serial number " + std::to_string(taken.number) + " assigned.");
    return true;
}

void FlashSequence::ConfirmByVerify(const CheckedImage& image, int frameBytes, ExitCode code) {
    window_.AddStatusLine("    The target verifies what was sent.");
    RecordPass(PassKind::Verify, image, frameBytes, code);
    // Out of step again: nothing the target answered can be relied on.
    if (c_.PassMisaligned()) {
        outcome_.StepFailed();
        c_.ReportFailure(kMisalignedText, code);
    }
}

void FlashSequence::RecordPass(PassKind kind, const CheckedImage& image, int frameBytes,
                               ExitCode verifyCode) {
    const bool program = kind == PassKind::Program;
    CHexReader reader;
    reader.SetHalfwordAlign(c_.Chip().halfwordAlign);
    reader.SetStopFlag(&c_.StopFlag());
    c_.NotifyPass(program ? ImagePass::Program : ImagePass::Verify);
    if (!reader.OpenImage(image.path)) {
        // The file went away (or was replaced by something else) after it
        // was counted.
        outcome_.StepFailed();
        c_.ReportFailure(OpenFailureText(reader, image.path), ExitCode::Image);
        return;
    }
    char line[96];
    std::snprintf(line, sizeof line, "%s%d%s", program ? "Downloading ... " : "Verifying ... ",
                  static_cast<int>(image.count.size), " bytes");
    window_.AddStatusLine(line);
    window_.SetProgressPhase(program ? ProgressPhase::Write : ProgressPhase::Verify);
    window_.SetProgressRange(static_cast<std::uint32_t>(image.count.size));
    const RunPhase phase = program ? RunPhase::Write : RunPhase::Verify;
    c_.RecordPhase(phase);
    // Frames count the bytes they carry for their records, pads included,
    // and so does the progress bar; the run record counts the image's own
    // bytes, so that a good run adds up to the image's data bytes on
    // halfword chips too. Records are framed in order, so the padded bytes
    // acknowledged so far always cover the records handed to the packer
    // from the first on.
    struct Handed {
        std::uint64_t paddedStart;
        std::uint64_t paddedEnd;
        RecordPadding padding;
    };
    std::deque<Handed> handed;
    std::uint64_t paddedHanded = 0;
    std::uint64_t paddedAcknowledged = 0;
    std::uint64_t ownDone = 0; // of the records acknowledged whole
    const auto ownAcknowledged = [&]() -> std::uint64_t {
        while (!handed.empty() && handed.front().paddedEnd <= paddedAcknowledged) {
            ownDone += handed.front().padding.own;
            handed.pop_front();
        }
        if (handed.empty() || paddedAcknowledged <= handed.front().paddedStart) return ownDone;
        const Handed& h = handed.front();
        const std::uint64_t into = paddedAcknowledged - h.paddedStart;
        return ownDone + std::min<std::uint64_t>(
                             h.padding.own, into > h.padding.before ? into - h.padding.before : 0);
    };

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
            outcome_.FrameAnswered(c_.Send(*frame));
            if (Failed()) {
                c_.ReportFailureAt(
                    Format(failure, f.address, f.address + static_cast<std::uint32_t>(f.count)),
                    program ? ExitCode::Write : verifyCode, f.address);
                return false;
            }
            paddedAcknowledged += f.recordBytes;
            c_.RecordCount(phase, ownAcknowledged());
            return true;
        });
    // The image as written, serial number included: each record's own
    // bytes with its absolute address and length.
    Sha256 written;
    const auto hand = [&](HexRecord& record, const RecordPadding& padding) {
        const auto n = static_cast<std::uint32_t>(record.count);
        if (image.stamp) {
            // Pads of a write stay erased flash; those of a verify stand for
            // what the flash holds, the number included.
            if (program) {
                image.stamp->Overlay(record, padding.before, padding.before + padding.own);
            } else {
                image.stamp->Overlay(record, 0, n);
            }
        }
        if (program) {
            const std::uint32_t at = (record.address + padding.before) | kFlashBase;
            const std::uint8_t head[6] = {static_cast<std::uint8_t>(at >> 24),
                                          static_cast<std::uint8_t>(at >> 16),
                                          static_cast<std::uint8_t>(at >> 8),
                                          static_cast<std::uint8_t>(at),
                                          static_cast<std::uint8_t>(padding.own >> 8),
                                          static_cast<std::uint8_t>(padding.own)};
            written.Add(head, sizeof head);
            written.Add(record.data + padding.before, padding.own);
        }
        handed.push_back({paddedHanded, paddedHanded + n, padding});
        paddedHanded += n;
        return packer.Add(record.address, record.data, n);
    };
    // Writing pads with erased flash; verifying pads with the image's own
    // bytes, which a correctly programmed neighbour holds.
    const PassEnd end =
        WalkImage(reader, image, !program, [&](HexRecord& record, const RecordPadding& padding) {
            const std::uint32_t a = record.address;
            const std::int32_t n = record.count;
            // Only writing checks addresses; the target itself refuses to
            // verify outside its flash.
            if (program && !RecordFits(a, n, flashLimit)) {
                // The records before this one are written before it is refused,
                // as they are one frame per record; a refusal of theirs comes
                // first.
                if (!packer.Flush()) return false;
                outcome_.StepFailed();
                c_.ReportFailureAt(Format("Wrong memory address 0x%lx - 0x%lx \n Download aborted.",
                                          a, a + static_cast<std::uint32_t>(n) - 1u),
                                   ExitCode::Address, a);
                return false;
            }
            if (n <= 0) return true;
            return hand(record, padding);
        });
    bool whole = end == PassEnd::Complete && ProceedOrAbandon();
    if (whole && image.stamp && !image.stamp->inImage) {
        // The image leaves the place empty: the number goes out as a record
        // of its own, after the image's.
        HexRecord own;
        image.stamp->AsRecord(own);
        RecordPadding padding;
        padding.own = static_cast<std::uint32_t>(own.count);
        if (reader.HalfwordAlign()) {
            const std::uint32_t address = own.address;
            PadToHalfwords(own, program ? nullptr : &image.shadow);
            padding.before = address - own.address;
        }
        whole = hand(own, padding);
    }
    // What the packer still holds goes out only when the whole image was
    // read as it was checked: after a stop, a failure or a changed file the
    // pass ends where it stands.
    if (whole && ProceedOrAbandon() && packer.Flush() && program && image.stamp && !Failed()) {
        c_.RecordImageWritten(written.FinishHex());
    }
    c_.RecordPhaseEnd(phase);
    ReportBrokenPass(end, image);
}

void FlashSequence::ProtectionStep(const Settings& s) {
    static const char kUnsupported[] =
        "Flash protection on this chip revision is not supported by this TALVEX version";
    if (!c_.Chip().protectSupported) {
        c_.ReportFailure(kUnsupported, ExitCode::Protection);
        window_.AppendStatusLine(kUnsupported);
        return;
    }
    window_.AddStatusLine("Protecting " + FormatMask(s.mask) + " with key");
    window_.SetProgressPhase(ProgressPhase::Protect);
    c_.RecordPhase(RunPhase::Protect);
    std::uint64_t unitsDone = 0;

    if (!Failed() && ProceedOrAbandon()) {
        outcome_.FrameAnswered(c_.Send(CommandFrame::Protect(0, 0x00)));
        if (Failed()) {
            c_.ReportFailure("Communications failure. Protecting aborted.", ExitCode::Protection);
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
            if (selected && !Failed() && ProceedOrAbandon()) {
                outcome_.FrameAnswered(c_.Send(CommandFrame::Protect(kFlashBase + unit, 0x0F)));
                if (Failed()) {
                    c_.ReportFailure("Mask failure. Process aborted.", ExitCode::Protection);
                } else {
                    c_.RecordCount(RunPhase::Protect, ++unitsDone);
                }
            }
            // A malformed group that would not advance, or would wrap, ends
            // the walk of that group instead of looping for ever.
            if (last + 1u <= unit) break;
            unit = last + 1u;
            ++bit;
        } while (unit < group.end && ProceedOrAbandon());
    }

    if (!Failed() && ProceedOrAbandon()) {
        outcome_.FrameAnswered(c_.Send(CommandFrame::Protect(ParseProtectionKey(s.key0), 0x01)));
        if (Failed()) {
            c_.ReportFailure("Protection failure. Process aborted.", ExitCode::Protection);
        }
    }
    c_.RecordPhaseEnd(RunPhase::Protect);
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
