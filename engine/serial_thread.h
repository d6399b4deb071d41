#pragma once
// The download worker: a thread of its own that serves the front end's
// requests one step at a time. The steps are classes of their own over the
// state they share (WorkerContext): connection and identification
// (TargetConnection), the flash sequence (FlashSequence) and the run step
// (RunStep); the run's outcome follows the rules of RunOutcome.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>

#include "flash_sequence.h"
#include "target_connection.h"
#include "worker_context.h"

namespace talvex {

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
    // An unattended run's result, once given, stands: no run frame follows
    // it.
    void PressRunReset();
    // Wakes the worker after a front end changed a flag directly.
    void Wake();

    void SetImagePath(const std::string& path) { context_.SetImagePath(path); }
    std::string ImagePath() const { return context_.ImagePath(); }
    // Settings take effect at the worker's next use of each of them.
    void SetSettings(const Settings& settings) { context_.SetSettings(settings); }

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
    // Where db: counters take their numbers; shared by every worker of the
    // process.
    bool SetLineDatabase(std::shared_ptr<ILineDatabase> database);

    RequestFlags& Flags() { return context_.Flags(); }
    ChipValues Chip() const { return context_.Chip(); }
    // The last identification text a target sent ("ZaRQ4..."), also that of
    // a wrong part; empty while none came. For reports after the run.
    std::string Identification() const { return context_.Identification(); }
    // The serial number the board last flashed took, when [Serial] is on.
    std::optional<std::uint64_t> SerialNumber() const { return context_.SerialNumber(); }
    bool Running() const { return started_; }
    // The loop has ended, or never started: joining will not block.
    bool Finished() const { return !started_.load() || finished_.load(); }
    const std::atomic<bool>& StopFlag() const { return context_.StopFlag(); }
    // A result code has been asked for: this run's outcome is decided and
    // the worker starts nothing more.
    bool ResultAsked() const { return context_.Outcome().ResultAsked(); }
    // Waits until the worker has nothing in hand: it waits for a request,
    // or its loop has ended. False when the time ran out first.
    bool WaitIdle(std::chrono::milliseconds timeout);

private:
    void WorkerLoop();
    void WaitForRequest();
    bool RequestPending() const;
    bool Stopping() const { return context_.Stopping(); }

    std::atomic<bool> started_{false};
    std::atomic<bool> finished_{false};
    WorkerContext context_;
    TargetConnection connection_{context_};

    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    std::condition_variable idleCv_;
    bool idle_ = true; // guarded by wakeMutex_

    std::thread thread_;
};

} // namespace talvex
