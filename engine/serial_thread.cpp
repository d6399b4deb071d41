// The worker's life and its loop: which step serves the request in hand.

#include "serial_thread.h"

#include "run_step.h"

namespace talvex {

SerialThread::SerialThread(IWindowOps& window, const Settings& settings,
                           std::unique_ptr<ISerialPort> port)
    : context_(window, settings, std::move(port)) {}

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
    context_.RequestStop();
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
    return Stopping() || context_.RunStepPending() || context_.Flags().DownloadActive.load() == 1;
}

void SerialThread::PressStart() {
    {
        // Work in hand from now on: the worker may take the request, and
        // even finish it, before Wake looks at the flags.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        idle_ = false;
    }
    RequestFlags& flags = context_.Flags();
    // FileReady from the previous download is cleared before the worker can
    // see the new request, so that it never flashes without identifying.
    flags.FileReady = 0;
    context_.Outcome().NewRequest();
    flags.StartPressed = 1;
    flags.DownloadActive = 1;
    flags.WakeByte = 1;
    Resume();
}

void SerialThread::PressRunReset() {
    // An unattended run's result, once given, stands: its front end may be
    // ending the process, and a run frame now would race that.
    if (!context_.Unattended()) context_.Outcome().NewRequest();
    {
        // Work in hand from now on: the run step takes its request as it
        // begins, which may be before Wake looks at the flags.
        std::lock_guard<std::mutex> lock(wakeMutex_);
        idle_ = false;
    }
    context_.Flags().RunRequest = 1;
    Resume();
}

bool SerialThread::SetPassObserver(std::function<void(ImagePass)> observer) {
    if (started_.load()) return false;
    context_.SetPassObserver(std::move(observer));
    return true;
}

bool SerialThread::SetRunObserver(IRunObserver* observer) {
    if (started_.load()) return false;
    context_.SetRunObserver(observer);
    return true;
}

bool SerialThread::SetTraceSink(std::shared_ptr<ITraceSink> sink) {
    if (started_.load()) return false;
    context_.SetTraceSink(std::move(sink));
    return true;
}

bool SerialThread::SetIdentificationLimit(std::chrono::seconds limit) {
    if (started_.load()) return false;
    connection_.SetIdentificationLimit(limit);
    return true;
}

bool SerialThread::SetLineDatabase(std::shared_ptr<ILineDatabase> database) {
    if (started_.load()) return false;
    context_.SetLineDatabase(std::move(database));
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
    RequestFlags& flags = context_.Flags();
    while (!Stopping()) {
        bool didWork = false;
        if (context_.RunStepPending()) {
            if (context_.Outcome().ResultAsked()) {
                // The run already has its outcome; a run frame now could
                // race the front end ending the process.
                flags.RunRequest = 0;
                flags.Unattended.RunStepServed();
            } else {
                RunStep(context_).Run();
                didWork = true;
            }
        }
        if (flags.DownloadActive.load() != 1) {
            if (!didWork) WaitForRequest();
            continue;
        }
        while (flags.DownloadActive.load() == 1 && !Stopping()) {
            bool served = false;
            if (!context_.Port().IsOpen() && flags.StartPressed.load() == 1) {
                connection_.Connect();
                continue;
            }
            if (flags.StartPressed.load() == 1) {
                connection_.ReadIdentification();
                served = true;
            }
            if (flags.FileReady.load() == 1) {
                FlashSequence(context_).Run();
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
    context_.ClosePort();
    context_.CloseRecord();
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        finished_ = true;
    }
    idleCv_.notify_all();
    context_.Window().WorkerFinished();
}

} // namespace talvex
