#include "board_loop.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "download_session.h"
#include "front_texts.h"
#include "held_port.h"
#include "result_wait.h"
#include "serial_port.h"

namespace talvex {

namespace {

using Clock = std::chrono::steady_clock;

// One board's window: everything goes to the port's own window, but the
// result stays with the board, and the start of the flash sequence is
// noted for the board's time.
class BoardWindow final : public IWindowOps {
public:
    explicit BoardWindow(IWindowOps& inner) : inner_(inner) {}

    void AddStatusLine(const std::string& text) override { inner_.AddStatusLine(text); }
    void AppendStatusLine(const std::string& text) override { inner_.AppendStatusLine(text); }
    void SetProgressStep(int step) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!flashStart_) flashStart_ = Clock::now();
        }
        inner_.SetProgressStep(step);
    }
    void SetProgressRange(std::uint32_t upper) override { inner_.SetProgressRange(upper); }
    void SetProgressPos(std::uint32_t position) override { inner_.SetProgressPos(position); }
    void SetProgressPhase(ProgressPhase phase) override { inner_.SetProgressPhase(phase); }
    void EnableButton(ButtonId id, bool enable) override { inner_.EnableButton(id, enable); }
    void ShowMessage(const std::string& text) override { inner_.ShowMessage(text); }
    void UnattendedFailure(const std::string& text) override { inner_.UnattendedFailure(text); }
    void RunRecordFailed(const std::string& text) override { inner_.RunRecordFailed(text); }
    void EndWithResult(ExitCode code) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (result_) return;
            result_ = code;
            resultAt_ = Clock::now();
        }
        resultCv_.notify_all();
    }

    bool WaitForResult(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return resultCv_.wait_for(lock, timeout, [this] { return result_.has_value(); });
    }
    std::optional<ExitCode> Result() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return result_;
    }
    std::optional<double> Seconds() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!flashStart_ || !result_) return std::nullopt;
        return std::chrono::duration<double>(resultAt_ - *flashStart_).count();
    }

private:
    IWindowOps& inner_;
    mutable std::mutex mutex_;
    std::condition_variable resultCv_;
    std::optional<ExitCode> result_;
    Clock::time_point resultAt_;
    std::optional<Clock::time_point> flashStart_;
};

} // namespace

bool ParseBoardCount(const std::string& text, int& boards) {
    if (text.empty() || text.size() > 7 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    boards = std::stoi(text);
    return true;
}

void BoardTally::Add(ExitCode code) {
    ++boards;
    if (code == ExitCode::Success) {
        ++passed;
        return;
    }
    ++failed;
    if (!firstFailure) firstFailure = code;
}

std::string BoardSummaryLine(const BoardOutcome& board, const BoardTally& tally) {
    std::string line = "Board " + std::to_string(board.number) + ": ";
    const std::string part = Printable(board.identification.substr(0, 8));
    line += part.empty() ? std::string("(no identification)") : part;
    if (board.serial) line += " serial " + std::to_string(*board.serial);
    if (board.code == ExitCode::Success) {
        line += " passed";
    } else {
        line += " failed with code " + std::to_string(ToInt(board.code)) + " (" +
                ExitCodeMeaning(ToInt(board.code)) + ")";
    }
    if (board.seconds) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, " in %.1f s", *board.seconds);
        line += seconds;
    }
    line += " (" + std::to_string(tally.passed) + " passed, " + std::to_string(tally.failed) +
            " failed)";
    return line;
}

BoardLoop::BoardLoop(IWindowOps& window, BoardLoopSetup setup)
    : window_(window), setup_(std::move(setup)) {
    setup_.startup.unattended = true;
}

BoardLoop::~BoardLoop() = default;

int BoardLoop::Run(const std::atomic<bool>& stop) {
    auto device = std::make_unique<CSerialPort>();
    device->SetMessageHandler([this](const std::string& text) { window_.ShowMessage(text); });
    auto line = std::make_shared<HeldLine>(std::move(device));

    for (int number = 1;; ++number) {
        if (stop) return ToInt(ExitCode::Interrupted);
        BoardWindow boardWindow(window_);
        std::optional<ExitCode> result;
        std::string identification;
        std::optional<std::uint64_t> serial;
        bool interrupted = false;
        {
            DownloadSession session(boardWindow, setup_.startup, std::make_unique<HeldPort>(line));
            if (setup_.recordFile) session.SetRunRecordFile(*setup_.recordFile);
            if (setup_.trace) session.SetTraceSink(setup_.trace);
            if (setup_.database) session.SetLineDatabase(setup_.database);
            session.SetIdentificationLimit(setup_.idLimit);
            // The opening lines once; after that, the window is open and
            // each board is a Start.
            if (number == 1)
                session.Open();
            else
                session.Start();
            ResultWait wait;
            wait.result = [&boardWindow](std::chrono::milliseconds slice) {
                return boardWindow.WaitForResult(slice);
            };
            wait.idle = [&session](std::chrono::milliseconds slice) {
                return session.WaitIdle(slice);
            };
            wait.tick = tick_;
            interrupted = !WaitForResultThenIdle(stop, wait);
            session.RequestStop();
            identification = session.Worker().Identification();
            serial = session.Worker().SerialNumber();
            imagePath_ = session.ImagePath();
            result = boardWindow.Result();
        }
        if (interrupted) return ToInt(ExitCode::Interrupted);
        const ExitCode code = result.value_or(ExitCode::Interrupted);
        if (identification.empty()) {
            // No board came: the line failed, or none within the limit.
            // Waiting on would hide that from the script that runs us.
            return tally_.firstFailure ? ToInt(*tally_.firstFailure) : ToInt(code);
        }
        lastIdentification_ = identification;
        tally_.Add(code);
        BoardOutcome outcome;
        outcome.number = number;
        outcome.identification = identification;
        outcome.code = code;
        outcome.seconds = boardWindow.Seconds();
        outcome.serial = serial;
        window_.AddStatusLine(BoardSummaryLine(outcome, tally_));
        if (line->Lost()) return tally_.Code();
        if (setup_.boards > 0 && tally_.boards >= setup_.boards) return tally_.Code();
    }
}

} // namespace talvex
