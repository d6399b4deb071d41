#include "gang.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "board_loop.h"
#include "console_window.h"
#include "download_session.h"
#include "front_texts.h"
#include "in_place_line.h"
#include "progress_model.h"
#include "result_wait.h"
#include "serial_thread.h"
#include "stream_check.h"
#include "window_ops.h"

namespace talvex {

namespace {

using Clock = std::chrono::steady_clock;

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

// A table cell stays one cell: the separator is written as an escape, as
// control characters are.
std::string CellText(const std::string& text) {
    std::string cell;
    for (char c : Printable(text)) {
        if (c == '|')
            cell += "\\x7c";
        else
            cell += c;
    }
    return cell;
}

std::string Padded(const std::string& text, std::size_t width, bool right = false) {
    if (text.size() >= width) return text;
    const std::string pad(width - text.size(), ' ');
    return right ? pad + text : text + pad;
}

std::string Label(const std::string& port) {
    // Short names as they are; of a long path only its device name.
    if (port.size() <= 12) return port;
    return DisplayName(port).empty() ? port : DisplayName(port);
}

std::string CellBody(const GangCell& cell) {
    if (cell.phase == 0) return "--";
    // A handful of protection frames: no count worth showing.
    if (cell.phase == 'P') return "P";
    return std::string(1, cell.phase) + " " +
           std::to_string(PercentDone(cell.position, cell.range)) + "%";
}

} // namespace

std::optional<std::string> TakePortsFlag(int argc, char** argv, int& i) {
    const std::string_view word = argv[i];
    if (word == "--ports") {
        if (i + 1 < argc) return std::string(argv[++i]);
        return std::string();
    }
    if (word.starts_with("--ports=")) return std::string(word.substr(8));
    return std::nullopt;
}

bool ParsePortList(const std::string& text, std::vector<std::string>& ports, std::string& error) {
    ports.clear();
    if (Trimmed(text).empty()) {
        error = "--ports needs a list of ports, e.g. --ports COM3,COM4,/dev/ttyUSB2";
        return false;
    }
    std::size_t start = 0;
    for (std::size_t item = 1;; ++item) {
        const std::size_t comma = text.find(',', start);
        const std::string name = Trimmed(std::string_view(text).substr(
            start, comma == std::string::npos ? std::string::npos : comma - start));
        if (name.empty()) {
            error = "--ports: port " + std::to_string(item) + " of \"" + Printable(text) +
                    "\" is empty";
            return false;
        }
        if (std::find(ports.begin(), ports.end(), name) != ports.end()) {
            // Two sessions on one device would fight over it; the second
            // could not even open it.
            error = "--ports: " + Printable(name) + " is named twice";
            return false;
        }
        ports.push_back(name);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool PreparePortList(const std::string& text, std::vector<std::string>& ports, std::string& error) {
    if (!ParsePortList(text, ports, error)) return false;
    const std::size_t needed = ports.size() * kOpenFilesPerBoard + kOpenFilesOwn;
    std::size_t limit = 0;
    if (EnsureOpenFiles(needed, limit)) return true;
    // Refused before anything starts: past the limit, boards would fail at
    // random with messages that do not say why.
    error = "--ports: " + std::to_string(ports.size()) + " ports need up to " +
            std::to_string(needed) + " open files at once, and this process may open only " +
            std::to_string(limit) + " (ulimit -n); no board was started";
    return false;
}

bool PrepareGang(const std::optional<std::string>& list, int argc, char** argv, int first,
                 std::vector<std::string>& ports, std::string& error) {
    ports.clear();
    for (int i = first; i < argc; ++i) {
        if (std::string_view(argv[i]).starts_with("--ports")) {
            error = "--ports must come before the settings file and the options";
            return false;
        }
    }
    return !list || PreparePortList(*list, ports, error);
}

std::string FormatPortList(const std::vector<std::string>& ports) {
    std::string list;
    for (const std::string& port : ports) {
        if (!list.empty()) list += ',';
        list += port;
    }
    return list;
}

int GangExitCode(const std::vector<GangBoard>& boards, bool interrupted) {
    if (interrupted) return ToInt(ExitCode::Interrupted);
    for (const GangBoard& board : boards) {
        if (board.Code() != 0) return board.Code();
    }
    return 0;
}

std::string GangTable(const std::vector<GangBoard>& boards, const GangSerials* serials) {
    using Row = std::vector<std::string>;
    std::vector<Row> rows;
    rows.push_back({"Port", "Identification", "Code", "Meaning", "Time"});
    for (const GangBoard& board : boards) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f s", board.seconds);
        rows.push_back({CellText(board.port),
                        board.identification.empty() ? "-" : CellText(board.identification),
                        std::to_string(board.Code()), ExitCodeMeaning(board.Code()), seconds});
    }
    // Numbers line up on the right.
    std::vector<bool> rightAligned = {false, false, true, false, true};
    if (serials) {
        rows[0].insert(rows[0].begin() + 2, "Serial");
        for (std::size_t r = 1; r < rows.size(); ++r) {
            const bool taken = r - 1 < serials->size() && (*serials)[r - 1];
            rows[r].insert(rows[r].begin() + 2,
                           taken ? std::to_string(*(*serials)[r - 1]) : std::string("-"));
        }
        rightAligned.insert(rightAligned.begin() + 2, true);
    }
    const std::size_t columns = rightAligned.size();
    std::vector<std::size_t> width(columns, 0);
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < columns; ++c) width[c] = std::max(width[c], row[c].size());
    }
    std::string table;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
            table += "| ";
            table += Padded(rows[r][c], width[c], r > 0 && rightAligned[c]);
            table += ' ';
        }
        table += "|\n";
        if (r == 0) {
            for (std::size_t c = 0; c < columns; ++c) table += "|" + std::string(width[c] + 2, '-');
            table += "|\n";
        }
    }
    return table;
}

std::string GangProgressText(const std::vector<GangCell>& cells, std::size_t columns) {
    std::size_t ended = 0;
    std::size_t failed = 0;
    for (const GangCell& cell : cells) {
        ended += cell.ended ? 1 : 0;
        failed += cell.failed ? 1 : 0;
    }
    std::string head = std::to_string(ended) + "/" + std::to_string(cells.size()) + " done";
    if (failed > 0) head += ", " + std::to_string(failed) + " failed";
    // The last column stays free: a line that fills it wraps on many
    // terminals, and "\r" then redraws only its second half.
    const std::size_t limit = columns > 1 ? columns - 1 : 1;

    std::vector<std::string> named;
    std::vector<std::string> numbered;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].ended) continue;
        const std::string body = CellBody(cells[i]);
        named.push_back(cells[i].label + " " + body);
        numbered.push_back("#" + std::to_string(i + 1) + " " + body);
    }
    for (const auto* list : {&named, &numbered}) {
        std::string line = head;
        for (const std::string& cell : *list) line += "  " + cell;
        if (line.size() <= limit) return line;
    }
    std::string line = head;
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        const std::string more = "  +" + std::to_string(numbered.size() - i);
        const std::string next = "  " + numbered[i];
        // Room for this cell and, after it, the count of the rest.
        const std::size_t after = i + 1 < numbered.size() ? more.size() : 0;
        if (line.size() + next.size() + after > limit) return (line + more).substr(0, limit);
        line += next;
    }
    return line.substr(0, limit);
}

// The output every board shares: status lines on out, failure texts on err,
// each line marked with its port, and one combined progress line.
class GangConsole {
public:
    GangConsole(const GangOutput& output, const std::vector<std::string>& ports)
        : output_(output), line_(output.err, output.escapes) {
        for (const std::string& port : ports) {
            State state;
            // Appended piece by piece: the cross compiler warns about the
            // temporaries of a chain of + here.
            state.prefix = "[";
            state.prefix += Printable(port);
            state.prefix += "] ";
            state.cell.label = Printable(Label(port));
            states_.push_back(std::move(state));
        }
    }

    void Begin() {
        std::lock_guard<std::mutex> lock(mutex_);
        start_ = Clock::now();
    }

    void Status(std::size_t board, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        line_.Clear();
        std::fprintf(output_.out, "%s%s\n", states_[board].prefix.c_str(), Printable(text).c_str());
        FlushAndNote(output_.out);
        // A status line closes the phase in hand; the engine names the next.
        states_[board].cell.phase = 0;
        DrawLocked(false);
    }

    void Failure(std::size_t board, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        line_.Clear();
        // Every line of a text of several lines carries the port, so that
        // the log of one board can be picked out with grep.
        std::size_t start = 0;
        for (;;) {
            const std::size_t newline = text.find('\n', start);
            const std::string part = text.substr(start, newline - start);
            std::fprintf(output_.err, "%s%s\n", states_[board].prefix.c_str(), part.c_str());
            if (newline == std::string::npos) break;
            start = newline + 1;
        }
        FlushAndNote(output_.err);
        DrawLocked(false);
    }

    void Phase(std::size_t board, ProgressPhase phase) {
        std::lock_guard<std::mutex> lock(mutex_);
        states_[board].cell.phase = PhaseLetter(phase);
    }

    void Range(std::size_t board, std::uint32_t upper) {
        std::lock_guard<std::mutex> lock(mutex_);
        states_[board].cell.range = upper;
        states_[board].cell.position = 0;
    }

    void Position(std::size_t board, std::uint32_t position) {
        std::lock_guard<std::mutex> lock(mutex_);
        states_[board].cell.position = position;
        DrawLocked(false);
    }

    void Result(std::size_t board, ExitCode code) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            State& state = states_[board];
            state.result = code;
            state.resultAt = Clock::now();
            state.cell.ended = true;
            state.cell.failed = code != ExitCode::Success;
            DrawLocked(false);
        }
        resultCv_.notify_all();
    }

    // True once every board has its result; waits at most timeout for it.
    bool WaitAllResults(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return resultCv_.wait_for(lock, timeout, [this] {
            return std::all_of(states_.begin(), states_.end(),
                               [](const State& s) { return s.result.has_value(); });
        });
    }

    // Keeps the line going while no board reports anything (all of them
    // waiting for their targets, say).
    void Redraw() {
        std::lock_guard<std::mutex> lock(mutex_);
        DrawLocked(false);
    }

    // What the table needs of a board, once its worker has ended.
    void Outcome(std::size_t board, GangBoard& out, Clock::time_point stoppedAt) {
        std::lock_guard<std::mutex> lock(mutex_);
        const State& state = states_[board];
        out.result = state.result;
        const auto end = state.result ? state.resultAt : stoppedAt;
        out.seconds = std::chrono::duration<double>(end - start_).count();
    }

    // The closing lines; the progress line goes for good.
    void Close(const std::string& table, const std::string& summary, const std::string& note) {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        line_.Clear();
        std::fputs(table.c_str(), output_.out);
        std::fputs(summary.c_str(), output_.out);
        FlushAndNote(output_.out);
        if (!note.empty()) {
            std::fputs(note.c_str(), output_.err);
            FlushAndNote(output_.err);
        }
    }

private:
    struct State {
        std::string prefix;
        GangCell cell;
        std::optional<ExitCode> result;
        Clock::time_point resultAt;
    };

    void DrawLocked(bool force) {
        if (!output_.progress || closed_) return;
        const auto now = Clock::now();
        if (!force && line_.Shown() && now - lastDraw_ < kRedrawInterval) return;
        lastDraw_ = now;
        std::vector<GangCell> cells;
        cells.reserve(states_.size());
        for (const State& state : states_) cells.push_back(state.cell);
        line_.Draw(
            GangProgressText(cells, static_cast<std::size_t>(std::max(output_.columns, 20))));
    }

    GangOutput output_;
    std::mutex mutex_;
    std::condition_variable resultCv_;
    InPlaceLine line_;
    std::vector<State> states_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_;
    bool closed_ = false;
};

namespace {

// One board's window operations: everything goes to the shared console,
// marked with the board's number. Never waits for the main thread.
class PortWindow final : public IWindowOps {
public:
    PortWindow(GangConsole& console, std::size_t board) : console_(console), board_(board) {}

    void AddStatusLine(const std::string& text) override { console_.Status(board_, text); }
    void AppendStatusLine(const std::string& text) override { console_.Status(board_, text); }
    void SetProgressStep(int) override {}
    void SetProgressRange(std::uint32_t upper) override { console_.Range(board_, upper); }
    void SetProgressPos(std::uint32_t position) override { console_.Position(board_, position); }
    void SetProgressPhase(ProgressPhase phase) override { console_.Phase(board_, phase); }
    void EnableButton(ButtonId, bool) override {}
    void ShowMessage(const std::string& text) override { console_.Failure(board_, text); }
    void UnattendedFailure(const std::string& text) override { console_.Failure(board_, text); }
    void EndWithResult(ExitCode code) override { console_.Result(board_, code); }
    void RunRecordFailed(const std::string& text) override { console_.Failure(board_, text); }

private:
    GangConsole& console_;
    std::size_t board_;
};

} // namespace

struct GangRun::Board {
    // Declared before the session, which calls it until the session's end.
    PortWindow window;
    std::unique_ptr<DownloadSession> session;

    Board(GangConsole& console, std::size_t index) : window(console, index) {}
};

GangRun::GangRun(const StartupResult& startup, const std::vector<std::string>& ports,
                 const GangOutput& output)
    : settings_(startup.settings), console_(std::make_unique<GangConsole>(output, ports)) {
    for (std::size_t i = 0; i < ports.size(); ++i) {
        StartupResult own = startup;
        // The console always runs unattended, as if aa=y were given.
        own.unattended = true;
        // The board's port holds for this run only, over whatever the file
        // and cp= say, exactly as an option the file could not take.
        own.unstored.push_back({"--ports " + ports[i], "Port", ports[i], "given by --ports"});
        auto board = std::make_unique<Board>(*console_, i);
        board->session = std::make_unique<DownloadSession>(board->window, own);
        starts_.push_back(own);
        if (i == 0) settings_ = board->session->CurrentSettings();
        sessions_.push_back(std::move(board));
        GangBoard outcome;
        outcome.port = ports[i];
        boards_.push_back(std::move(outcome));
    }
}

void GangRun::SetRunRecordFile(const std::string& path) {
    recordFile_ = path;
    for (auto& board : sessions_) board->session->SetRunRecordFile(path);
}

void GangRun::SetLineDatabase(const std::shared_ptr<ILineDatabase>& database) {
    database_ = database;
    for (auto& board : sessions_) board->session->SetLineDatabase(database);
}

void GangRun::SetIdentificationLimit(std::chrono::seconds limit) {
    idLimit_ = limit;
    for (auto& board : sessions_) board->session->SetIdentificationLimit(limit);
}

GangRun::~GangRun() {
    for (auto& board : sessions_) board->session->RequestStop();
    // Each session joins its worker, which closes its port on the way out.
    sessions_.clear();
}

int GangRun::Run(const std::atomic<bool>& stop) {
    if (boardsPerPort_) return RunBoardLoops(stop);
    console_->Begin();
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        try {
            sessions_[i]->session->Open();
        } catch (const std::system_error& e) {
            // Out of threads: this board cannot start, the others go on.
            console_->Failure(i, std::string("No thread for this port (") + e.what() +
                                     "); the board is not programmed.");
            console_->Result(i, ExitCode::Port);
        }
    }
    // Every result first, then every board's last lines: the download that
    // gave a result prints them before its worker is stopped, and no worker
    // starts anything after a result.
    std::size_t idleBoards = 0;
    ResultWait wait;
    wait.result = [this](std::chrono::milliseconds slice) {
        return console_->WaitAllResults(slice);
    };
    wait.idle = [this, &idleBoards](std::chrono::milliseconds slice) {
        for (; idleBoards < sessions_.size(); ++idleBoards) {
            if (!sessions_[idleBoards]->session->WaitIdle(slice)) return false;
        }
        return true;
    };
    wait.tick = [this] { console_->Redraw(); };
    interrupted_ = !WaitForResultThenIdle(stop, wait);
    Finish();
    return GangExitCode(boards_, interrupted_);
}

void GangRun::Finish() {
    // Every worker stops at its next step, all at once, rather than one
    // after the other.
    for (auto& board : sessions_) board->session->RequestStop();
    const auto stoppedAt = Clock::now();
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        boards_[i].identification = sessions_[i]->session->Worker().Identification();
        serials_.push_back(sessions_[i]->session->Worker().SerialNumber());
        console_->Outcome(i, boards_[i], stoppedAt);
    }
    // Joins every worker; each has closed its port when its loop ended.
    sessions_.clear();

    std::size_t succeeded = 0;
    const GangBoard* firstFailed = nullptr;
    for (const GangBoard& board : boards_) {
        if (board.Code() == 0)
            ++succeeded;
        else if (!firstFailed)
            firstFailed = &board;
    }
    const int code = GangExitCode(boards_, interrupted_);
    std::string summary;
    if (interrupted_) {
        summary = "Gang: interrupted; " + std::to_string(succeeded) + " of " +
                  std::to_string(boards_.size()) + " boards succeeded before the stop; exit code " +
                  std::to_string(code) + ".\n";
    } else if (!firstFailed) {
        summary =
            "Gang: all " + std::to_string(boards_.size()) + " boards succeeded; exit code 0.\n";
    } else {
        summary = "Gang: " + std::to_string(succeeded) + " of " + std::to_string(boards_.size()) +
                  " boards succeeded; exit code " + std::to_string(code) + " (" +
                  Printable(firstFailed->port) + ", the first that failed).\n";
    }
    const std::string note =
        interrupted_
            ? "Interrupted; every port is closed and the boards may be partly programmed.\n"
            : "";
    console_->Close(GangTable(boards_, settings_.serial.settings ? &serials_ : nullptr), summary,
                    note);
}

int GangRun::RunBoardLoops(const std::atomic<bool>& stop) {
    // The sessions made for a single board each are not needed: every port
    // makes its own, board after board.
    sessions_.clear();
    console_->Begin();
    const std::size_t count = starts_.size();
    std::vector<std::unique_ptr<PortWindow>> windows;
    std::vector<std::unique_ptr<BoardLoop>> loops;
    for (std::size_t i = 0; i < count; ++i) {
        windows.push_back(std::make_unique<PortWindow>(*console_, i));
        BoardLoopSetup setup;
        setup.startup = starts_[i];
        setup.recordFile = recordFile_;
        setup.idLimit = idLimit_;
        setup.boards = *boardsPerPort_;
        setup.database = database_;
        loops.push_back(std::make_unique<BoardLoop>(*windows[i], setup));
    }
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) {
        try {
            threads.emplace_back([this, &loops, &stop, i] {
                const int code = loops[i]->Run(stop);
                console_->Result(i, static_cast<ExitCode>(code));
            });
        } catch (const std::system_error& e) {
            console_->Failure(i, std::string("No thread for this port (") + e.what() +
                                     "); its boards are not programmed.");
            console_->Result(i, ExitCode::Port);
        }
    }
    // Every loop sees the stop itself, and closes its port before it gives
    // its result.
    while (!console_->WaitAllResults(kRedrawInterval)) console_->Redraw();
    for (std::thread& thread : threads) thread.join();
    interrupted_ = stop.load();

    const auto endedAt = Clock::now();
    BoardTally all;
    const GangBoard* firstFailed = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        boards_[i].identification = loops[i]->LastIdentification();
        console_->Outcome(i, boards_[i], endedAt);
        const BoardTally& tally = loops[i]->Tally();
        all.boards += tally.boards;
        all.passed += tally.passed;
        all.failed += tally.failed;
        if (!firstFailed && boards_[i].Code() != 0) firstFailed = &boards_[i];
    }
    const int code = GangExitCode(boards_, interrupted_);
    std::string summary = "Gang: " + std::to_string(all.boards) + " boards on " +
                          std::to_string(count) + " ports, " + std::to_string(all.passed) +
                          " passed, " + std::to_string(all.failed) + " failed";
    if (interrupted_) {
        summary += "; interrupted";
    } else if (firstFailed) {
        summary += "; " + Printable(firstFailed->port) + " the first port that failed";
    }
    summary += "; exit code " + std::to_string(code) + ".\n";
    const std::string note =
        interrupted_
            ? "Interrupted; every port is closed and the boards may be partly programmed.\n"
            : "";
    console_->Close(GangTable(boards_), summary, note);
    return code;
}

GangOutput ConsoleGangOutput(bool progress) {
    GangOutput output;
    output.progress = progress && StderrIsTerminal();
    output.escapes = !output.progress || TerminalTakesEscapes(stderr);
    output.columns = output.progress ? TerminalColumns(stderr) : 80;
    return output;
}

} // namespace talvex
