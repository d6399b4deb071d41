#pragma once
// The download worker: connection, identification, erase, program, verify,
// protection and the run step, on a thread of its own.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "command_frame.h"
#include "frame_link.h"
#include "serial_port.h"
#include "settings.h"
#include "result_code.h"
#include "run_observer.h"
#include "run_outcome.h"
#include "unattended_mode.h"
#include "window_gate.h"
#include "window_ops.h"

namespace talvex {

class CHexReader;
class ITraceSink;
struct HexRecord;
struct CheckedImage;

// The passes over the image file, in the order a download makes them.
enum class ImagePass { Count, PagePlan, Program, Verify };

// The request flags the front end raises and the worker clears.
struct RequestFlags {
    std::atomic<std::uint8_t> RunRequest{0};
    std::atomic<std::uint8_t> DownloadActive{0};
    std::atomic<std::uint8_t> WakeByte{0};
    std::atomic<std::uint8_t> StartPressed{0};
    std::atomic<std::uint8_t> FileReady{0};
    UnattendedSteps Unattended;
};

// What identification learnt of the chip; kept from one download to the next.
struct ChipValues {
    std::uint32_t flashLimit = 0x8F800;
    bool protectSupported = false;
    bool resetSupported = false;
    bool halfwordAlign = false;
};

class SerialThread {
public:
    // The window operations must outlive the worker. Without a port the worker
    // makes its own CSerialPort on first use.
    SerialThread(IWindowOps& window, const Settings& settings,
                 std::unique_ptr<ISerialPort> port = nullptr);
    // Asks the worker to stop and waits for it. A front end whose window
    // operations wait for its own thread must not get here before
    // Finished(): call RequestStop, keep serving its events, and destroy the
    // worker once WorkerFinished has been told.
    ~SerialThread();
    SerialThread(const SerialThread&) = delete;
    SerialThread& operator=(const SerialThread&) = delete;

    // Starts the worker on the first call; later calls only wake it.
    void Resume();
    // The worker leaves at its next step, or when the blocking call in hand
    // returns; the port is closed on the way out. From now on no window
    // operation reaches the front end. Never blocks.
    void RequestStop();
    void Join();

    // What the Start button does.
    void PressStart();
    // What the Run/Reset button does (the window also handles its buttons).
    void PressRunReset();
    // Wakes the worker after a front end changed a flag directly.
    void Wake();

    void SetImagePath(const std::string& path);
    std::string ImagePath() const;
    // Settings take effect at the worker's next use of each of them.
    void SetSettings(const Settings& settings);

    // The worker reads the next four on its own thread without a lock, so
    // each is taken only before the worker starts (the first Resume, Start
    // or Run/Reset); later calls change nothing and return false.

    // Called on the worker thread as each pass over the image begins, before
    // it reads the file. Tests use it to change the file between passes.
    bool SetPassObserver(std::function<void(ImagePass)> observer);
    // Told of each run's steps and outcome, on the worker thread; it must
    // outlive the worker.
    bool SetRunObserver(IRunObserver* observer);
    // Every byte to and from the target goes to the sink as well.
    bool SetTraceSink(std::shared_ptr<ITraceSink> sink);
    // A download whose target has not identified itself this long after
    // the port opened ends with code 4. Zero (the default) waits for ever,
    // as a user at the window expects.
    bool SetIdentificationLimit(std::chrono::seconds limit);

    RequestFlags& Flags() { return flags_; }
    ChipValues Chip() const;
    // The last identification text a target sent ("ZaRQ4..."), also that of
    // a wrong part; empty while none came. For reports after the run.
    std::string Identification() const;
    bool Running() const { return started_; }
    // The loop has ended, or never started: joining will not block.
    bool Finished() const { return !started_.load() || finished_.load(); }
    const std::atomic<bool>& StopFlag() const { return stop_; }
    // A result code has been asked for: this run's outcome is decided and
    // the worker starts nothing more.
    bool ResultAsked() const { return outcome_.ResultAsked(); }
    // Waits until the worker has nothing in hand: it waits for a request,
    // or its loop has ended. False when the time ran out first.
    bool WaitIdle(std::chrono::milliseconds timeout);

private:
    void WorkerLoop();
    void WaitForRequest();
    bool RequestPending() const;
    bool Stopping() const { return stop_.load(); }
    Settings CurrentSettings() const;
    ISerialPort& Port();

    void Connect();
    void IdentificationRead();
    bool WriteWakeByte();
    void LearnChip(const std::string& id);
    void FlashSequence();
    // The page plan and the page erase. False when a record lies outside the
    // flash or the file changed, which skips straight to the outcome.
    bool PagePlanAndErase(CHexReader& reader, const CheckedImage& image);
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
    PassEnd WalkImage(CHexReader& reader, const CheckedImage& image, bool padFromImage,
                      const std::function<bool(const HexRecord&, const RecordPadding&)>& step);
    // Reports a pass that ended as Changed or ReadFailed; true if it did.
    bool ReportBrokenPass(PassEnd end, const CheckedImage& image);
    void ProtectionStep(const Settings& s);
    void RunStep();
    void EndOfDownload();
    void ReportFailure(const std::string& text, ExitCode code);
    bool Failed() const { return outcome_.Failed(); }
    // The one way to ask the front end for the run's result.
    void EndWithResult(ExitCode code);
    // A step decided the run's outcome: it is noted, and an unattended run
    // asks for it as its result.
    void Conclude(ExitCode code);
    void NotifyPass(ImagePass pass);
    bool Unattended() const { return flags_.Unattended.On(); }
    void ClosePort();
    // The exchange of frames for the connection now open. A run step that
    // follows its download goes on with the download's link, so the answer
    // wait learnt there holds for it too.
    void OpenLink(const Settings& s, bool sameRun);
    int Send(const CommandFrame& frame) { return link_->Send(frame); }
    // Ends a pass: waits for every owed answer. True when the answers may
    // have been taken for other frames than their own; a status line says
    // so. False after a failure, a stop or a result already asked for, and
    // when the port failed, which the next step notices on its own.
    bool PassMisaligned();

    // The run record's side of the worker (worker_record.cpp): a run is a
    // download from its Start, with the run step that follows it, or a
    // Run/Reset on its own.
    void BeginRecord(bool download);
    void RecordPhase(RunPhase phase);
    void RecordCount(RunPhase phase, std::uint64_t done);
    void RecordPhaseEnd(RunPhase phase);
    // Tells the outcome once; a stop makes it Interrupted unless a failure
    // came first.
    void CloseRecord();
    bool RunStepPending() const {
        return flags_.RunRequest.load() == 1 || flags_.Unattended.RunStepPending();
    }
    void RecordIdentified(const std::string& text);
    void RecordRunCommand(bool reset);
    // Ends the download with code 4 once the identification has been
    // awaited longer than the limit allows.
    void EndIfIdentificationOverdue();
    // The time-out of the next identification read when the limit ends
    // before the rate's own time-out would; none while it does not.
    std::optional<std::chrono::milliseconds> IdentificationReadLimit() const;

    // Declared before the gate, which watches it.
    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> finished_{false};
    RunOutcome outcome_{stop_};
    WindowGate window_;
    RequestFlags flags_;
    ChipValues chip_;
    std::string identification_; // guarded by chipMutex_
    mutable std::mutex chipMutex_;

    mutable std::mutex settingsMutex_;
    Settings settings_;
    std::string imagePath_;

    std::unique_ptr<ISerialPort> port_;
    std::unique_ptr<FrameLink> link_;

    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    std::condition_variable idleCv_;
    bool idle_ = true; // guarded by wakeMutex_
    bool portStopWired_ = false;
    std::function<void(ImagePass)> passObserver_;

    IRunObserver* runObserver_ = nullptr;
    bool recordOpen_ = false;
    std::shared_ptr<ITraceSink> traceSink_;
    bool traced_ = false;
    std::chrono::seconds idLimit_{0};
    std::chrono::steady_clock::time_point idSince_;
    // When the last wake byte has crossed the line, at the rate of the
    // connection the identification is awaited on.
    std::chrono::steady_clock::time_point idLineFree_;
    std::uint32_t idBaud_ = 0;

    std::thread thread_;
};

// Reads the protection key as the protection step sends it: optional "0x",
// hexadecimal digits up to the first other character, 0 when none, and
// 0xFFFFFFFF when it does not fit 32 bits.
std::uint32_t ParseProtectionKey(const std::string& text);

// The last component of a path, for messages.
std::string DisplayName(const std::string& path);

} // namespace talvex
