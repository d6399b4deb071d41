#pragma once
// The flash sequence of a download: count, erase, program, verify, protect,
// and its outcome. The image is streamed from the file for every pass; what
// the count pass learnt of it is the yardstick for every later pass.

#include <cstdint>
#include <functional>
#include <string>

#include "worker_context.h"

namespace talvex {

class CHexReader;
struct HexRecord;
struct CheckedImage;

class FlashSequence {
public:
    explicit FlashSequence(WorkerContext& context)
        : c_(context), window_(context.Window()), outcome_(context.Outcome()) {}
    // Runs the whole sequence on the image and settings in force, and ends
    // the download.
    void Run();

private:
    // The page plan and the page erase. False when a record lies outside the
    // flash or the file changed, which skips straight to the outcome.
    bool PagePlanAndErase(CHexReader& reader, CheckedImage& image, const Settings& s);
    // Takes the board's serial number once the image is known to have room
    // for it. False when none can be had or it does not fit its place.
    bool TakeSerial(const SerialSettings& serial, CheckedImage& image);
    enum class PassKind { Program, Verify };
    // Writes, or has the target verify, every record of the image, in
    // frames of up to frameBytes bytes ([Flash] FrameBytes; 0 one frame per
    // record).
    // A verify pass that checks what a misaligned pass sent fails with
    // that pass's code.
    void RecordPass(PassKind kind, const CheckedImage& image, int frameBytes,
                    ExitCode verifyCode = ExitCode::Verify);
    // Has the target verify the whole image after a pass whose answers
    // could not be matched to their frames; a difference fails with code.
    void ConfirmByVerify(const CheckedImage& image, int frameBytes, ExitCode code);
    enum class PassEnd { Complete, Cut, Changed, ReadFailed };
    // Where a record's own bytes lie in it once padded for halfword chips.
    struct RecordPadding {
        std::uint32_t before = 0; // pad bytes in front of them
        std::uint32_t own = 0;    // the image's bytes
    };
    // One pass after the count pass: hands each record, padded for halfword
    // chips, to step (false from step ends the pass). Ends as Changed, before
    // the step sees it, at a record the count pass did not read so, and at
    // the end when the pass as a whole read other texts.
    // The step may change the record's bytes (the serial number).
    PassEnd WalkImage(CHexReader& reader, const CheckedImage& image, bool padFromImage,
                      const std::function<bool(HexRecord&, const RecordPadding&)>& step);
    // Reports a pass that ended as Changed or ReadFailed; true if it did.
    bool ReportBrokenPass(PassEnd end, const CheckedImage& image);
    void ProtectionStep(const Settings& s);

    bool Failed() const { return outcome_.Failed(); }
    bool ProceedOrAbandon() { return outcome_.ProceedOrAbandon(); }

    WorkerContext& c_;
    IWindowOps& window_;
    RunOutcome& outcome_;
};

// Reads the protection key as the protection step sends it: optional "0x",
// hexadecimal digits up to the first other character, 0 when none, and
// 0xFFFFFFFF when it does not fit 32 bits.
std::uint32_t ParseProtectionKey(const std::string& text);

// The last component of a path, for messages.
std::string DisplayName(const std::string& path);

} // namespace talvex
