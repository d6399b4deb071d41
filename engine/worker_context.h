#pragma once
// What every step of the download worker shares: the window it reports to,
// the request flags, the run's outcome and record, the connection, and the
// settings and chip values in force. The steps themselves (connection and
// identification, the flash sequence, the run step) are classes of their
// own that work on it; the worker's loop decides which step comes next.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "command_frame.h"
#include "frame_link.h"
#include "line_database.h"
#include "result_code.h"
#include "run_observer.h"
#include "run_outcome.h"
#include "serial_port.h"
#include "settings.h"
#include "unattended_mode.h"
#include "window_gate.h"
#include "window_ops.h"

namespace talvex {

class ITraceSink;

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

class WorkerContext {
public:
    // Without a port the context makes its own CSerialPort on first use.
    WorkerContext(IWindowOps& window, const Settings& settings, std::unique_ptr<ISerialPort> port);
    WorkerContext(const WorkerContext&) = delete;
    WorkerContext& operator=(const WorkerContext&) = delete;

    // --- Shared with the front end's thread.

    void RequestStop() { stop_ = true; }
    bool Stopping() const { return stop_.load(); }
    const std::atomic<bool>& StopFlag() const { return stop_; }
    RequestFlags& Flags() { return flags_; }
    const RequestFlags& Flags() const { return flags_; }
    RunOutcome& Outcome() { return outcome_; }
    const RunOutcome& Outcome() const { return outcome_; }
    bool Unattended() const { return flags_.Unattended.On(); }
    // A Run/Reset asked for, or the run step of an unattended run.
    bool RunStepPending() const {
        return flags_.RunRequest.load() == 1 || flags_.Unattended.RunStepPending();
    }

    Settings CurrentSettings() const;
    void SetSettings(const Settings& settings);
    std::string ImagePath() const;
    void SetImagePath(const std::string& path);
    ChipValues Chip() const;
    void SetChip(const ChipValues& chip);
    std::string Identification() const;
    void SetIdentification(const std::string& text);
    // The serial number taken for the board last flashed, if any.
    std::optional<std::uint64_t> SerialNumber() const;
    void SetSerialNumber(std::optional<std::uint64_t> number);

    // Taken before the worker starts; read on its thread without a lock.
    void SetPassObserver(std::function<void(ImagePass)> observer) {
        passObserver_ = std::move(observer);
    }
    void SetRunObserver(IRunObserver* observer) { runObserver_ = observer; }
    void SetTraceSink(std::shared_ptr<ITraceSink> sink) { traceSink_ = std::move(sink); }
    void SetLineDatabase(std::shared_ptr<ILineDatabase> database) {
        lineDatabase_ = std::move(database);
    }
    // Null when the settings name no line database.
    ILineDatabase* LineDatabase() const { return lineDatabase_.get(); }

    // --- The worker's thread only, from here on.

    // The window as the worker may use it: nothing reaches the front end
    // after a stop but the notice that the worker finished.
    IWindowOps& Window() { return window_; }
    void NotifyPass(ImagePass pass);

    ISerialPort& Port();
    void ClosePort();
    // The exchange of frames for the connection now open. A run step that
    // follows its download goes on with the download's link, so the answer
    // wait learnt there holds for it too.
    void OpenLink(const Settings& s, bool sameRun);
    bool HasLink() const { return link_ != nullptr; }
    // The learnt answer wait goes on only into a run's own run step.
    void DropLink() { link_.reset(); }
    int Send(const CommandFrame& frame) { return link_->Send(frame); }
    // Ends a pass: waits for every owed answer. True when the answers may
    // have been taken for other frames than their own; a status line says
    // so. False after a failure, a stop or a result already asked for, and
    // when the port failed, which the next step notices on its own.
    bool PassMisaligned();

    // The last frame was never acknowledged, or a step failed outright.
    bool Failed() const { return outcome_.Failed(); }
    // A failure the user must see: a message box at the window, or the
    // failure notice and the result of an unattended run.
    void ReportFailure(const std::string& text, ExitCode code);
    // The same for a failure at a flash address, which the run's observer
    // learns too.
    void ReportFailureAt(const std::string& text, ExitCode code, std::uint32_t address);
    // The one way to ask the front end for the run's result.
    void EndWithResult(ExitCode code);
    // A step decided the run's outcome: it is noted, and an unattended run
    // asks for it as its result.
    void Conclude(ExitCode code);
    // The download is over, well or not: the port closes and the buttons
    // come back; a run step still to come keeps the run's record open.
    void EndOfDownload();

    // The run record's side of the worker (worker_record.cpp): a run is a
    // download from its Start, with the run step that follows it, or a
    // Run/Reset on its own.
    void BeginRecord(bool download);
    // A run is under way; its record is told to the observer, if any.
    bool RecordOpen() const { return recordOpen_; }
    void RecordPhase(RunPhase phase);
    void RecordCount(RunPhase phase, std::uint64_t done);
    void RecordPhaseEnd(RunPhase phase);
    void RecordIdentified(const std::string& text);
    void RecordRunCommand(bool reset);
    void RecordSerial(std::uint64_t number, const std::vector<std::uint8_t>& bytes);
    void RecordImageWritten(const std::string& sha256);
    // Tells the outcome once; a stop makes it Interrupted unless a failure
    // came first.
    void CloseRecord();

private:
    // Declared first: the outcome and the gate watch it.
    std::atomic<bool> stop_{false};
    RunOutcome outcome_{stop_};
    WindowGate window_;
    RequestFlags flags_;

    mutable std::mutex settingsMutex_;
    Settings settings_;
    std::string imagePath_;

    mutable std::mutex chipMutex_;
    ChipValues chip_;
    std::string identification_;                // guarded by chipMutex_
    std::optional<std::uint64_t> serialNumber_; // guarded by chipMutex_

    std::unique_ptr<ISerialPort> port_;
    bool portStopWired_ = false;
    std::shared_ptr<ITraceSink> traceSink_;
    std::shared_ptr<ILineDatabase> lineDatabase_;
    bool traced_ = false;
    std::unique_ptr<FrameLink> link_;

    std::function<void(ImagePass)> passObserver_;
    // A run is open, and an observer hears of it.
    bool Telling() const;

    IRunObserver* runObserver_ = nullptr;
    bool recordOpen_ = false;
};

} // namespace talvex
