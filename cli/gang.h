#pragma once
// Gang programming: the same image and settings flashed into the boards on
// several ports at once. Each port gets a download session of its own (its
// own port, chip values and worker thread); they share nothing but the
// read-only part database and the image file, which each reads in its own
// passes. A board that fails never stops or slows the others.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line_database.h"
#include "result_code.h"
#include "settings.h"
#include "startup.h"

namespace talvex {

// What one board's run came to. Complete once GangRun::Run has returned;
// the production line's trace records are written from these.
struct GangBoard {
    std::string port;               // as given in the list
    std::string identification;     // the text the target sent; empty when none came
    std::optional<ExitCode> result; // empty: stopped before the board had one
    double seconds = 0;             // from the gang's start to the result, or to the stop
    // The result as an exit code; a board stopped without one counts as
    // interrupted.
    int Code() const { return result ? ToInt(*result) : ToInt(ExitCode::Interrupted); }
};

// argv[i] is "--ports LIST" (the list is the next word) or "--ports=LIST":
// gives the list and leaves i on the last word taken. Empty for any other
// word. A "--ports" without a word after it gives an empty list, which
// ParsePortList refuses.
std::optional<std::string> TakePortsFlag(int argc, char** argv, int& i);

// Splits the comma-separated list; blanks around a name are dropped. False,
// with a message for the operator, for an empty list, an empty name or a
// port named twice.
bool ParsePortList(const std::string& text, std::vector<std::string>& ports, std::string& error);

// Each board holds its port and, during a pass, its image file open, and
// briefly the part database when its target identifies itself.
constexpr std::size_t kOpenFilesPerBoard = 3;
// The process's own: standard streams, the settings file, and some margin.
constexpr std::size_t kOpenFilesOwn = 16;

// Makes sure the process may have needed files open at once, raising its
// own limit as far as the system allows. False when it stays below; limit
// is then what it may have.
bool EnsureOpenFiles(std::size_t needed, std::size_t& limit);

// ParsePortList, and then the open-file limit for as many boards: false
// with a message that names the limit when the list is longer than this
// process may serve at once.
bool PreparePortList(const std::string& text, std::vector<std::string>& ports, std::string& error);

// What talvex-cli checks before anything goes into the settings file: the
// list of --ports (when given) as PreparePortList does, and that no
// "--ports" stands among the words after the flags, where it would end the
// options and leave a single run on the stored port. Empty ports without
// --ports.
bool PrepareGang(const std::optional<std::string>& list, int argc, char** argv, int first,
                 std::vector<std::string>& ports, std::string& error);

// "COM3,COM4,/dev/ttyUSB2": the list as --ports takes it.
std::string FormatPortList(const std::vector<std::string>& ports);

// The code a script gets: 130 after a stop, else the code of the first board
// in the order given that did not succeed, else 0.
int GangExitCode(const std::vector<GangBoard>& boards, bool interrupted);

// The closing table, one row per board in the order given:
// | Port | Identification | Code | Meaning | Time |
// The number each board took, in the order of the boards, when the run
// stamps serial numbers; nullopt for a board that took none.
using GangSerials = std::vector<std::optional<std::uint64_t>>;

// With serials, a Serial column after Identification ("-" for a board that
// took no number).
std::string GangTable(const std::vector<GangBoard>& boards, const GangSerials* serials = nullptr);

// One board as the combined progress line shows it.
struct GangCell {
    std::string label; // the port, or its last path component
    char phase = 0;    // 'E', 'W', 'V', 'P', or 0 while no measured work is in hand
    std::uint32_t position = 0;
    std::uint32_t range = 0;
    bool ended = false;
    bool failed = false;
};

// "2/8 done, 1 failed  COM3 W 42%  COM4 V 10%  COM5 --" cut to fit columns:
// boards still running get a cell each, named by label or, when that does
// not fit, by their number in the list ("#3 W 42%"); what still does not fit
// is counted ("+5").
std::string GangProgressText(const std::vector<GangCell>& cells, std::size_t columns);

struct GangOutput {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool progress = false; // draw the combined progress line on err
    bool escapes = true;   // err's terminal takes the erase-to-end-of-line escape
    int columns = 80;      // width of err's terminal
};

// For talvex-cli: stdout and stderr, the progress line when asked for and
// stderr is a terminal.
GangOutput ConsoleGangOutput(bool progress);

class GangConsole;

class GangRun {
public:
    // Reads the settings once per port, as the window does when it opens;
    // each session's port is set in memory only, never written into the
    // settings file. Starts nothing yet.
    GangRun(const StartupResult& startup, const std::vector<std::string>& ports,
            const GangOutput& output);
    // Stops whatever still runs and waits for every worker.
    ~GangRun();
    GangRun(const GangRun&) = delete;
    GangRun& operator=(const GangRun&) = delete;

    // The settings every board runs with, its port aside.
    const Settings& CurrentSettings() const { return settings_; }

    // Each board appends its own record line to the file (in place of the
    // settings key [Log] File); every line goes in with one append, so the
    // boards never tear each other's lines. Before Run.
    void SetRunRecordFile(const std::string& path);
    // Each board gives up on a target that has not identified itself this
    // long after its port opened (code 4); zero waits for ever. Before Run.
    void SetIdentificationLimit(std::chrono::seconds limit);
    // Every board's serial numbers and records go through the one database
    // client (one connection for the gang). Before Run.
    void SetLineDatabase(const std::shared_ptr<ILineDatabase>& database);
    // Board after board on every port (BoardLoop), each port on its own: n
    // boards per port, 0 for no limit. Before Run.
    void SetBoardsPerPort(int boards) { boardsPerPort_ = boards; }

    // Starts every board at once and waits until each has its result and has
    // printed its last lines, or until stop turns true (then every worker is
    // asked to stop and joined, and every port is closed). Prints the table
    // and returns the exit code.
    int Run(const std::atomic<bool>& stop);

    // Each board's outcome, in the order given; complete after Run.
    const std::vector<GangBoard>& Boards() const { return boards_; }
    bool Interrupted() const { return interrupted_; }

private:
    struct Board;
    void Finish();
    int RunBoardLoops(const std::atomic<bool>& stop);

    std::vector<StartupResult> starts_; // each port's own, for its board loop
    std::optional<std::string> recordFile_;
    std::chrono::seconds idLimit_{0};
    std::optional<int> boardsPerPort_;
    std::shared_ptr<ILineDatabase> database_;

    Settings settings_;
    std::unique_ptr<GangConsole> console_;
    std::vector<std::unique_ptr<Board>> sessions_;
    std::vector<GangBoard> boards_;
    GangSerials serials_;
    bool interrupted_ = false;
};

} // namespace talvex
