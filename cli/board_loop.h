#pragma once
// Board after board on one port without restarting: the port stays open,
// and after each board the station goes back to waiting for the next
// identification while the operator swaps the board and pulses Reset. Used
// by talvex-cli for its port and by the gang for each of its ports.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "line_database.h"
#include "result_code.h"
#include "startup.h"
#include "trace_port.h"
#include "window_ops.h"

namespace talvex {

// --boards N: whole boards from 0 (no limit) up. False for anything else.
bool ParseBoardCount(const std::string& text, int& boards);

// The boards of one port so far.
struct BoardTally {
    int boards = 0;
    int passed = 0;
    int failed = 0;
    std::optional<ExitCode> firstFailure;

    void Add(ExitCode code);
    // What a script gets: 0 when every board passed, else the first failure's
    // code.
    int Code() const { return firstFailure ? ToInt(*firstFailure) : 0; }
};

// One board that identified itself and got its result.
struct BoardOutcome {
    int number = 0;             // from 1, on its port
    std::string identification; // as the target sent it
    ExitCode code = ExitCode::Success;
    // From the start of its flash sequence to its result; none when the
    // board never got that far (a wrong part).
    std::optional<double> seconds;
    // The number stamped into the board, when the run assigned one.
    std::optional<std::uint64_t> serial;
};

// "Board 17: ZaRQ4126 serial 1234 passed in 4.2 s (16 passed, 1 failed)";
// a failure says "failed with code 6 (meaning)"; tally includes this board.
std::string BoardSummaryLine(const BoardOutcome& board, const BoardTally& tally);

struct BoardLoopSetup {
    StartupResult startup;                   // unattended
    std::optional<std::string> recordFile;   // none: the settings file's own
    std::shared_ptr<ITraceSink> trace;       // may be null
    std::chrono::seconds idLimit{0};         // per board; zero waits for ever
    int boards = 0;                          // 0: no limit
    std::shared_ptr<ILineDatabase> database; // may be null; shared by every board
};

class BoardLoop {
public:
    // window: the front end's for this port; it must outlive the loop. Its
    // EndWithResult is not called: each board's result is the loop's own,
    // and the loop's result is what Run returns.
    BoardLoop(IWindowOps& window, BoardLoopSetup setup);
    ~BoardLoop();
    BoardLoop(const BoardLoop&) = delete;
    BoardLoop& operator=(const BoardLoop&) = delete;

    // Runs board after board until the count is reached (0, or the first
    // failure's code), stop turns true (130, the port closed by then), the
    // port fails or hangs up, or no board identified itself within the
    // identification limit (the code that board's run gives, unless an
    // earlier board failed first). Prints one summary line per board.
    int Run(const std::atomic<bool>& stop);

    const BoardTally& Tally() const { return tally_; }
    // The last identification received on this port; empty while none came.
    const std::string& LastIdentification() const { return lastIdentification_; }
    // The image the last board's run used.
    const std::string& ImagePath() const { return imagePath_; }
    // Called after every wait slice that brought nothing (a redraw).
    void SetTick(std::function<void()> tick) { tick_ = std::move(tick); }

private:
    struct Board;

    IWindowOps& window_;
    BoardLoopSetup setup_;
    BoardTally tally_;
    std::string lastIdentification_;
    std::string imagePath_;
    std::function<void()> tick_;
};

} // namespace talvex
