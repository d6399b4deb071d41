#pragma once
// zarq-sim: an emulated ZaRQ target that answers the bootloader exchange on a
// pseudo-terminal (or a real serial device). The command-line program is a
// thin main over this; tests run it in-process, one Simulator per run.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zarq {

// Which commands a fault applies to. A "command" is one good frame; a frame
// byte-for-byte equal to the command frame before it is another try of that
// command, not a new one. Numbers count from 1.
//   *        every command
//   12       the 12th command          5-8     the 5th to the 8th command
//   E        every E command           W@10    the 10th W command
//   W@3-5    the 3rd to the 5th W command
// Items are joined with commas: "W@2,V@1,12".
struct SelectorItem {
    char letter = 0;        // 0: any letter
    std::uint64_t from = 0; // 0: every command (of that letter)
    std::uint64_t to = 0;
};

struct FaultSelector {
    std::vector<SelectorItem> items;
    bool Empty() const { return items.empty(); }
    // command: number among all commands; ofLetter: number among commands
    // with this letter.
    bool Matches(std::uint64_t command, char letter, std::uint64_t ofLetter) const;
};

// Parses the syntax above; false with a message naming the bad item.
bool ParseSelector(const std::string& text, FaultSelector& out, std::string& error);

struct AckAfterRule {
    std::uint32_t failures = 0; // tries refused before the one acknowledged
    FaultSelector selector;     // every command when given without one
};

// The selected commands and a time in ms: how much longer their answers
// are held, or how long after a doubled answer its copy follows.
struct HoldRule {
    FaultSelector selector;
    double ms = 0;
};

struct SimOptions {
    std::string device; // serve this serial device instead of a pty
    std::string link;   // symlink to the serial end, removed at the end
    std::string part = "ZaRQ4126";
    bool partGiven = false;
    std::string partDbPath;                   // empty: zelchip.ini beside the executable
    std::optional<std::uint32_t> flashSize;   // bytes from 0x80000
    std::optional<std::uint32_t> kernelStart; // absolute address
    // What the flash holds before the host erases anything: every cell
    // flashFill (erased, 0xFF, when not given), then the bytes of the raw
    // image flashInit from 0x80000 on.
    std::optional<std::uint8_t> flashFill;
    std::string flashInit;
    std::optional<std::string> idText;
    bool oldRevision = false;
    bool neverAnnounce = false;
    std::string noise;

    FaultSelector nak;
    FaultSelector silent;
    FaultSelector garbageAck;
    std::vector<AckAfterRule> ackAfter;
    std::optional<std::uint64_t> hangupAfter;

    // Answer timing on top of the work and the turnaround. Each answer is
    // held answerDelayMs plus a draw of 0..jitterMs; the first try of a
    // lateAnswer command is held its rule's ms more, and every later try of
    // a lateRepeat command is held as long as its first try was, plus the
    // rule's ms. A doubleAnswer command's answer is sent again, the rule's ms
    // after the first copy has gone out. The first matching rule counts.
    double answerDelayMs = 0;
    double jitterMs = 0;
    std::optional<std::uint64_t> seed; // none: taken from the clock at Start
    std::vector<HoldRule> lateAnswer;
    std::vector<HoldRule> lateRepeat;
    std::vector<HoldRule> doubleAnswer;

    std::uint32_t baud = 0; // 0: unpaced
    double eraseMs = 0;     // per erased page; a mass erase costs this once
    double writeUsPerByte = 0;
    double turnaroundMs = 0;

    bool exitAfterRun = false;
    double timeoutS = 0; // 0: no limit

    // Board after board on one line, as a production fixture sees them. A
    // board leaves when its run or reset command has been acknowledged, or
    // when no
    // frame has come for boardIdleMs after its identification (the host
    // finished without running it, or turned it down). The next board, with
    // a fresh flash, answers wake bytes boardPauseMs later: the operator's
    // swap. After the last board the target stays as a single one does.
    std::uint64_t boards = 1; // 0: no limit
    double boardPauseMs = 1000;
    double boardIdleMs = 2000;
    // Boards (numbered from 1) that announce another part than --part; the
    // flash keeps the geometry of --part.
    std::map<std::uint64_t, std::string> boardParts;

    std::string logPath;
    std::string dumpPath;
    bool keepLog = true; // hold the log in memory for Log()
    bool showHelp = false;
};

// args excludes the program name.
bool ParseSimArgs(const std::vector<std::string>& args, SimOptions& out, std::string& error);
const char* SimHelpText();

constexpr std::uint32_t kFlashBase = 0x80000;
// The lateness of at most this many answers is kept when the log is not.
constexpr std::size_t kLateSampleLimit = 16384;
constexpr std::uint32_t kPageSize = 512;
constexpr std::uint8_t kAckByte = 0x06;
constexpr std::uint8_t kNakByte = 0x15;
constexpr std::uint8_t kGarbageByte = 0x86;

struct ProtectionRecord {
    std::uint64_t begins = 0;         // begin frames accepted
    std::vector<std::uint32_t> units; // absolute unit addresses since the last begin
    std::optional<std::uint32_t> key; // key of the last key frame since the last begin
};

struct SimStats {
    std::uint64_t frames = 0;   // everything framed by 07 0E, good or bad
    std::uint64_t commands = 0; // distinct commands (retries not counted)
    std::uint64_t retries = 0;  // frames that repeated the command before
    std::uint64_t acks = 0;
    std::uint64_t naks = 0;
    std::uint64_t unanswered = 0;
    std::uint64_t garbage = 0;
    std::uint64_t badFrames = 0;    // bad checksum, unknown letter, bad length
    std::uint64_t bytesWritten = 0; // data bytes of W frames carried out
    std::uint64_t bytesSkipped = 0; // stray bytes (resync blocks not included)
    std::uint64_t resyncBlocks = 0; // whole resync blocks seen between frames
    std::uint64_t identifications = 0;
    std::uint64_t erasedPages = 0;
    std::uint64_t massErases = 0;
    std::uint64_t resets = 0;
    std::uint64_t doubledAnswers = 0; // answers sent a second time
    bool ran = false;
    bool hungUp = false;
    ProtectionRecord protection;
    // How far the emulated line strayed from its own timetable: answer
    // writes that went out after their due time, summed and at worst.
    std::uint64_t answersSent = 0;
    std::uint64_t answerLateNsTotal = 0;
    std::uint64_t answerLateNsMax = 0;
    // Each answer's lateness in ns (at most 4 s), in the order sent: the
    // typical error tells apart from the machine's occasional stalls. Without
    // keepLog, once more than kLateSampleLimit answers were sent, a uniform
    // sample of that many of them, in no particular order.
    std::vector<std::uint32_t> answerLateNs;
};

struct LogEntry {
    enum class Kind { Frame, Identification, Noise, HangUp, Resync };
    Kind kind = Kind::Frame;
    std::uint64_t index = 0;   // frame number, from 1 (frames only)
    std::uint64_t command = 0; // command number, 0 for a bad frame
    std::uint32_t attempt = 0; // try of that command, from 1
    bool retry = false;
    char letter = 0; // 0 when the frame is too short to carry one
    std::uint32_t value = 0;
    std::vector<std::uint8_t> data;
    std::uint32_t wireLength = 0; // bytes of the frame on the line
    std::optional<std::uint8_t> answer;
    std::string note;                // why a frame was refused, or the text sent
    std::uint64_t skippedBefore = 0; // stray bytes since the previous event
    std::uint64_t timeUs = 0;        // since Start: when the last byte arrived
    std::uint64_t holdUs = 0;        // extra hold on the answer (delay, jitter, late)
    bool doubled = false;            // the answer goes out twice
};

// One JSON object, no newline.
std::string FormatLogLine(const LogEntry& entry);

// The dump file of a board: every "%n" of pattern becomes the board's number;
// without one, when several boards are played, ".N" is appended.
std::string BoardDumpPath(const std::string& pattern, std::uint64_t board, bool severalBoards);

enum class FinishReason { None, Stopped, Ran, HungUp, TimedOut, LineFailed };

class Simulator {
public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Resolves the flash geometry, opens the line and starts serving.
    bool Start(std::string& error);
    const std::string& DevicePath() const;
    // Idempotent. Joins the serving thread, releases the line and writes the
    // dump. False (with a message) when the log or dump could not be written.
    bool Stop(std::string* error = nullptr);
    // True once the simulator ended by itself (run, hang-up, time-out, line
    // failure).
    bool WaitFinished(int timeoutMs);
    FinishReason Reason() const;
    std::string FailureText() const; // set for LineFailed

    std::vector<std::uint8_t> Flash() const; // offset 0 = 0x80000
    std::uint32_t KernelStart() const;       // absolute
    SimStats Stats() const;
    std::vector<LogEntry> Log() const;
    std::string IdentificationText() const;
    // The seed of the jitter, the one given or the one taken at Start.
    std::uint64_t Seed() const;
    std::string SummaryLine() const;

    // The board in the fixture (from 1), or the one that left last while
    // the next is being fitted.
    std::uint64_t Board() const;
    // Boards that have left the fixture, their dumps written.
    std::uint64_t BoardsEnded() const;
    // One summary line per board that has left, in order.
    std::vector<std::string> BoardSummaries() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zarq
