// talvex-cli: the console front end. Same command line and settings file as
// the window program; always unattended; the exit code is the result code.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "board_loop.h"
#include "command_flags.h"
#include "console_main.h"
#include "console_window.h"
#include "download_session.h"
#include "front_texts.h"
#include "gang.h"
#include "image_precheck.h"
#include "port_diagnosis.h"
#include "report_command.h"
#include "result_code.h"
#include "result_wait.h"
#include "line_commands.h"
#include "line_database_choice.h"
#include "run_record.h"
#include "serial_counter.h"
#include "serial_stamp.h"
#include "settings.h"
#include "settings_location.h"
#include "startup.h"
#include "stream_check.h"
#include "trace_port.h"

using namespace talvex;

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

void PrintUsage(std::FILE* to) {
    std::fputs(
        "Usage: talvex-cli [--show] [--no-progress] [--ports LIST] [--boards N]\n"
        "                  [--record FILE] [--id-timeout SECONDS] [--trace FILE]\n"
        "                  [SETTINGS[.ini]] [af=FILE] [OPTION=VALUE ...]\n"
        "       talvex-cli --list-ports [SETTINGS[.ini]] [cp=PORT] [cb=BAUD]\n"
        "       talvex-cli [--database CONNINFO] --db-init | --db-flush [SETTINGS[.ini]]\n"
        "       talvex-cli --report [--since SPAN|DATE] [--part PART] [--csv]\n"
        "                  [--record FILE] [SETTINGS[.ini]]\n"
        "\n"
        "Programs a ZaRQ target through its serial bootloader, unattended, with the\n"
        "settings file (talvex.ini beside the program unless SETTINGS names another;\n"
#ifdef _WIN32
        "in %APPDATA%\\talvex\\ when the program's folder is installed or not writable).\n"
#else
        "in ~/.config/talvex/ when the program's folder is installed or not writable).\n"
#endif
        "Options are written into the settings file before the run, separated by\n"
        "single blanks:\n"
        "  af=FILE   Intel HEX image (only as the first option)\n"
        "  ap=PART   part expected on the board, e.g. ZaRQ4126\n"
#ifdef _WIN32
        "  cp=PORT   serial port: COM1, COM2, ...\n"
#else
        "  cp=PORT   serial port: COM1 (= /dev/ttyS0) ... or a device path\n"
#endif
        "  cb=BAUD   baud rate, e.g. 115200\n"
        "  fe=y|n    mass erase instead of erasing the touched pages; fe=y erases\n"
        "            only: no program, verify or protection in that run\n"
        "  fp=y|n    program the image\n"
        "  fv=y|n    have the target verify the image\n"
        "  fh=y|n    protect the flash units of the mask\n"
        "  fk=KEY    protection key, hexadecimal\n"
        "  fm=MASK   protection mask, 0x and 16 hexadecimal digits\n"
        "  rr=y|n    run the program after a successful download\n"
        "  rf=0|1    0 run the program, 1 reset the chip\n"
        "  fb=N      pack the bytes of records that follow on into frames of up to N\n"
        "            data bytes (1..250, more is 250; never across a 512-byte page);\n"
        "            0 (default) sends one frame per record\n"
        "\n"
        "  --show         print the resolved settings and exit\n"
        "  --no-progress  no progress line on stderr\n"
        "  --ports LIST   flash the boards on every port of LIST (COM3,COM4,...) at\n"
        "                 once; the ports are not stored; a table ends the run\n"
        "  --boards N     board after board: keep the port open and, after each\n"
        "                 board, wait for the next one's identification (swap the\n"
        "                 board and pulse Reset); one summary line per board; end\n"
        "                 after N boards (0: no limit, end with Ctrl+C) with 0 when\n"
        "                 all passed, else the first failure's code; with --ports,\n"
        "                 every port loops on its own\n"
        "  --record FILE  append one JSON line per run (per board with --ports) to\n"
        "                 FILE: time, host, port, part, identification, image with\n"
        "                 its SHA-256, what was done, result and phase times\n"
        "                 (settings key [Log] File)\n"
        "  --id-timeout SECONDS\n"
        "                 end with code 4 when the target has not identified itself\n"
        "                 SECONDS after the port opened (with --boards: SECONDS\n"
        "                 after the board before; default: wait for ever)\n"
        "  --trace FILE   append every byte sent and received, with its time in\n"
        "                 microseconds, to FILE as a hex dump (not with --ports; a\n"
        "                 FIFO needs a reader)\n"
        "  --database CONNINFO\n"
        "                 the line database (PostgreSQL) for serial numbers\n"
        "                 ([Serial] Counter=db:NAME) and one row per run; before\n"
        "                 TALVEX_DATABASE and [Line] Database\n"
        "  --db-init      create or upgrade the line database's tables, and the\n"
        "                 counter [Serial] Counter=db:NAME names (from [Serial] First)\n"
        "  --db-flush     deliver the run records the spool kept while the line\n"
        "                 database was away (also done at every start)\n"
        "  --list-ports   list the ports that can be opened, with their adapters;\n"
        "                 when the configured port cannot be opened, say why on\n"
        "                 stderr and end with code 4\n"
        "  --report       print the line report from the run records and exit: yield\n"
        "                 per part and image, failures per exit code and per\n"
        "                 station, serial numbers of failed boards; reads the\n"
        "                 --record FILE, else the settings file's [Log] File\n"
        "  --since SPAN|DATE\n"
        "                 with --report: only runs since 30s, 90m, 24h, 7d, 2w ago,\n"
        "                 or since a UTC date or time (2026-12-07, 2026-12-07T14:00)\n"
        "  --part PART    with --report: only runs of that part\n"
        "  --csv          with --report: CSV instead of text, a section name first\n"
        "                 on every line\n"
        "  --version (-V), --help (-h)\n"
        "\n"
        "\n",
        to);
    // The codes come from the one table the engine keeps, wrapped as a
    // paragraph.
    std::string line = "Exit codes:";
    std::size_t count = 0;
    const ExitCodeInfo* table = ExitCodeTable(count);
    for (std::size_t i = 0; i < count; ++i) {
        char text[96];
        std::snprintf(text, sizeof text, " %d %s%s", ToInt(table[i].code), table[i].meaning,
                      i + 1 < count ? "," : ".");
        const std::string item = text;
        if (line.size() + item.size() > 78) {
            std::fprintf(to, "%s\n", line.c_str());
            line = item.substr(1);
        } else {
            line += item;
        }
    }
    std::fprintf(to, "%s\n", line.c_str());
}

void Show(const Settings& s, bool partDbPresent, bool unattended) {
    std::printf("imageFile=%s\n", s.imageFile.c_str());
    std::printf("programDir=%s\n", s.programDir.c_str());
    std::printf("settingsStem=%s\n", s.settingsStem.c_str());
    std::printf("settingsPath=%s\n", s.settingsPath.c_str());
    std::printf("partDbPath=%s\n", s.partDbPath.c_str());
    std::printf("port=%s\n", s.port.c_str());
    std::printf("baud=%s\n", s.baud.c_str());
    std::printf("massErase=%s\n", s.massErase.c_str());
    std::printf("program=%s\n", s.program.c_str());
    std::printf("verify=%s\n", s.verify.c_str());
    std::printf("autorun=%s\n", s.autorun.c_str());
    std::printf("protect=%s\n", s.protect.c_str());
    std::printf("part=%s\n", s.part.c_str());
    std::printf("key0=%s\n", s.key0.c_str());
    std::printf("mask=%s\n", FormatMask(s.mask).c_str());
    std::printf("propertyPage=%d\n", static_cast<int>(s.propertyPage));
    std::printf("runMode=%d\n", static_cast<int>(s.runMode));
    std::printf("partDb=%s\n", partDbPresent ? "present" : "missing");
    std::printf("unattended=%d\n", unattended ? 1 : 0);
    // Newer lines go below, so that scripts reading the lines above see them
    // unchanged.
    std::printf("settingsOrigin=%s\n", SettingsOrigin(s.programDir, s.settingsStem,
                                                      UserSettingsFolder(ProcessEnvironment()))
                                           .c_str());
    std::printf("frameBytes=%d\n", s.frameBytes);
}

// The [Serial] lines of --show, only for a file that has the section. The
// next number is read, never taken. False when a run would be refused.
bool ShowSerial(const Settings& s, const std::optional<std::string>& database) {
    if (!s.serial.On()) return true;
    if (!s.serial.settings) {
        std::printf("serial=refused\n");
        std::fprintf(stderr, "talvex-cli: %s\n", Printable(s.serial.problem).c_str());
        return false;
    }
    const SerialSettings& serial = *s.serial.settings;
    std::printf("serialAddress=0x%05lX\n", static_cast<unsigned long>(serial.address));
    std::printf("serialBytes=%d\n", serial.bytes);
    std::printf("serialFormat=%s\n", SerialFormatName(serial.format));
    std::printf("serialCounter=%s\n", Printable(CounterName(serial)).c_str());
    std::printf("serialStep=%llu\n", static_cast<unsigned long long>(serial.step));
    std::printf("serialLast=%s\n", serial.last ? std::to_string(*serial.last).c_str() : "none");
    std::printf("serialPlaceholder=%s\n",
                serial.placeholder.empty() ? "none" : FormatHexBytes(serial.placeholder).c_str());
    CounterResult next;
    if (serial.counterDb.empty()) {
        next = PeekSerialNumber(serial);
    } else {
        // A db: counter is read from the line database, when one is set.
        const LineDatabaseChoice line = ChooseLineDatabase(s, database);
        next = line.client ? line.client->PeekSerial(serial) : CounterResult{};
        if (!line.client) next.message = line.problem;
    }
    if (next.status == CounterStatus::Problem || next.status == CounterStatus::Unreachable) {
        std::printf("serialNext=unknown\n");
    } else {
        std::printf("serialNext=%llu\n", static_cast<unsigned long long>(next.number));
    }
    if (next.status == CounterStatus::Taken) return true;
    std::fprintf(stderr, "talvex-cli: %s\n", Printable(next.message).c_str());
    return false;
}

// A run that would be refused its serial number is refused before the port
// opens, so that nobody pulses Reset for a board that cannot be stamped.
bool SerialStampingUsable(const Settings& s) {
    const std::string problem = SerialStartProblem(s);
    if (problem.empty()) return true;
    std::fprintf(stderr, "talvex-cli: %s\n", Printable(problem).c_str());
    return false;
}

// What start-up could not do with the settings file. Said before anything
// else, so that a batch log shows why a run used other values than the file.
void ReportSettingsFile(const StartupResult& startup, bool optionsStored = true) {
    const std::string path = Printable(startup.settings.settingsPath);
    if (!startup.settingsProblem.empty()) {
        std::fprintf(stderr,
                     "talvex-cli: settings file %s not read (%s); the defaults apply, and the "
                     "file is left as it is.\n",
                     path.c_str(), startup.settingsProblem.c_str());
    }
    if (!optionsStored) return;
    for (const UnstoredOption& option : startup.unstored) {
        std::fprintf(stderr, "talvex-cli: %s not stored in %s (%s); it applies to this run only.\n",
                     Printable(option.option).c_str(), path.c_str(), option.reason.c_str());
    }
}

// A mass erase is all the download does; whoever also asked for programming
// or verifying should not read code 0 as a programmed board.
void ReportMassEraseOnly(const Settings& s) {
    if (!IsOn(s.massErase)) return;
    std::vector<std::string> skipped;
    if (IsOn(s.program)) skipped.push_back("fp=y");
    if (IsOn(s.verify)) skipped.push_back("fv=y");
    if (IsOn(s.protect)) skipped.push_back("fh=y");
    if (skipped.empty()) return;
    std::string list = skipped.front();
    for (std::size_t i = 1; i < skipped.size(); ++i) {
        list += (i + 1 == skipped.size() ? " and " : ", ") + skipped[i];
    }
    std::fprintf(stderr,
                 "talvex-cli: fe=y: only the mass erase is done; %s %s not carried out in this "
                 "run (run again with fe=n for %s).\n",
                 list.c_str(), skipped.size() == 1 ? "is" : "are",
                 skipped.size() == 1 ? "it" : "them");
}

// One line that says what is wrong and where the whole usage is: a batch
// log keeps the mistake in sight instead of under sixty lines of help.
int UsageError(const std::string& text) {
    std::fprintf(stderr, "talvex-cli: %s (talvex-cli --help)\n", text.c_str());
    return ToInt(ExitCode::Usage);
}

struct KnownFlag {
    const char* name;
    bool takesValue;
};

constexpr KnownFlag kKnownFlags[] = {
    {"--show", false},    {"--no-progress", false}, {"--list-ports", false}, {"--record", true},
    {"--trace", true},    {"--id-timeout", true},   {"--ports", true},       {"--help", false},
    {"-h", false},        {"--version", false},     {"-V", false},           {"--boards", true},
    {"--report", false},  {"--since", true},        {"--part", true},        {"--csv", false},
    {"--database", true}, {"--db-init", false},     {"--db-flush", false},
};

int UnknownFlag(const std::string& flag) {
    std::vector<std::string> known;
    for (const KnownFlag& candidate : kKnownFlags) known.emplace_back(candidate.name);
    return UsageError(UnknownFlagText(flag, known));
}

// What was written for --help, --version, --show or --list-ports must reach
// its reader: a script that reads it cannot tell lost output from an empty
// answer.
int EndOfAnswer(const char* what, int code) {
    const std::string lost = StreamLoss(stdout);
    if (lost.empty()) return code;
    std::fprintf(stderr, "talvex-cli: the %s output could not be written to stdout (%s).\n", what,
                 lost.c_str());
    return ToInt(ExitCode::Output);
}

// Said once, at the end of a download whose status lines did not all
// arrive: the run itself went on, so the exit code stays its own.
void ReportLostOutput() {
    const std::string out = StreamLoss(stdout);
    const std::string err = StreamLoss(stderr);
    if (out.empty() && err.empty()) return;
    std::string where;
    if (!out.empty()) where = "stdout (" + out + ")";
    if (!err.empty()) where += (where.empty() ? "" : " and ") + std::string("stderr (") + err + ")";
    std::fprintf(stderr,
                 "talvex-cli: output to %s was lost; the run went on to its end, and the exit "
                 "code is the run's own.\n",
                 where.c_str());
    std::fflush(stderr);
}

// Said before the port is opened and the operator is asked to pulse Reset,
// so that nobody waits at a board for a run that cannot program it. The run
// still goes its way and ends with its own lines and code.
void ReportUnusableImage(const StartupResult& startup) {
    const std::string notice = UnusableImageNotice(startup);
    if (notice.empty()) return;
    std::fprintf(stderr, "talvex-cli: %s\n", Printable(notice).c_str());
    std::fflush(stderr);
}

// When the image could not be opened, the status line only says "File Open
// Error."; the batch log also gets the file and the reason.
void ExplainFileOpenError(const ConsoleWindow& window, const std::string& image) {
    if (window.LastFailure() != "File Open Error.") return;
    std::string reason = WhyImageUnusable(image);
    if (reason.empty()) reason = "it could not be opened when the run read it";
    std::fprintf(stderr, "talvex-cli: af=%s could not be opened (%s).\n", Printable(image).c_str(),
                 reason.c_str());
}

// Whole seconds from 0 (no limit) to a day.
bool ParseSeconds(const std::string& text, int& seconds) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    seconds = std::stoi(text);
    return seconds <= 86400;
}

// The ports the Comms page would list, with what the system knows of each,
// and why the configured port cannot be opened when it cannot.
int ListPortsAndExplain(const StartupResult& startup) {
    for (const std::string& port : ListPorts()) {
        const PortDescription description = DescribePort(port);
        std::string line = port;
        if (!description.text.empty()) line += "  " + description.text;
        if (description.latencyTimerMs >= 0) {
            line += (description.text.empty() ? "  " : ", ") + std::string("latency timer ") +
                    std::to_string(description.latencyTimerMs) + " ms";
        }
        std::printf("%s\n", Printable(line).c_str());
        const std::string warning = LatencyWarning(port, description);
        if (!warning.empty()) std::fprintf(stderr, "talvex-cli: %s\n", warning.c_str());
    }
    std::fflush(stdout);
    Settings settings = startup.settings;
    ReadSettingsAtOpening(settings);
    ApplyUnstoredOptions(startup, settings);
    const PortDiagnosis diagnosis = DiagnosePort(settings.port, settings.baud);
    // Always a last line, so that an empty list still says something of the
    // port a run would use.
    std::printf("configured port %s at %s baud: %s\n", Printable(settings.port).c_str(),
                Printable(settings.baud).c_str(),
                diagnosis.problem == PortProblem::None ? "opens" : "does not open (see below)");
    if (diagnosis.problem == PortProblem::None) return EndOfAnswer("--list-ports", 0);
    std::fflush(stdout);
    std::fprintf(stderr, "Can not open COM port.\n%s\n", Printable(diagnosis.text).c_str());
    return EndOfAnswer("--list-ports", ToInt(ExitCode::Port));
}

// The flags of talvex-cli itself, before the command line of the window
// program.
struct Flags {
    bool show = false;
    bool progress = true;
    bool listPorts = false;
    std::optional<std::string> record;
    std::optional<std::string> trace;
    int idTimeout = 0;
    std::optional<int> boards;
    bool report = false;
    ReportOptions reportOptions;
    bool reportOnlyFlag = false; // --since, --part or --csv
    LineFlags line;
};

// The settings a run reads, as the window reads them when it opens.
Settings RunSettings(const StartupResult& startup) {
    Settings settings = startup.settings;
    ReadSettingsAtOpening(settings);
    ApplyUnstoredOptions(startup, settings);
    return settings;
}

// The line database for a run, opened once for the process; nullopt to go
// ahead (with or without one), else the exit code the run ends with.
std::optional<int> UseLineDatabase(const Settings& settings, const LineFlags& flags,
                                   std::shared_ptr<ILineDatabase>& database) {
    std::optional<int> refuse;
    database = OpenLineDatabase(settings, flags, refuse);
    return refuse;
}

// --db-init and --db-flush, which run instead of a download.
int LineDatabaseCommand(const StartupResult& startup, const LineFlags& flags) {
    const Settings settings = RunSettings(startup);
    return flags.init ? InitLineDatabase(settings, flags) : FlushLineSpool(settings, flags);
}

// --since, --part or --csv, which shape the report.
std::optional<int> TakeReportFlag(const std::string& flag, const std::optional<std::string>& value,
                                  Flags& flags) {
    flags.reportOnlyFlag = true;
    if (flag == "--csv") {
        flags.reportOptions.csv = true;
    } else if (value->empty()) {
        return UsageError(flag + " needs a value");
    } else if (flag == "--since") {
        flags.reportOptions.since = *value;
    } else {
        flags.reportOptions.part = *value;
    }
    return std::nullopt;
}

// One flag of talvex-cli, its value checked; the exit code when it ends the
// program there (--help, --version, a value it cannot take).
std::optional<int> TakeFlag(const std::string& flag, const std::optional<std::string>& value,
                            Flags& flags) {
    std::string lineProblem;
    if (TakeLineFlag(flag, value, flags.line, lineProblem)) {
        if (!lineProblem.empty()) return UsageError(lineProblem);
    } else if (flag == "--show") {
        flags.show = true;
    } else if (flag == "--no-progress") {
        flags.progress = false;
    } else if (flag == "--list-ports") {
        flags.listPorts = true;
    } else if (flag == "--record" || flag == "--trace") {
        if (value->empty()) return UsageError(flag + " needs a file name");
        (flag == "--record" ? flags.record : flags.trace) = *value;
    } else if (flag == "--id-timeout") {
        if (!ParseSeconds(*value, flags.idTimeout)) {
            return UsageError(
                "--id-timeout takes whole seconds from 0 (no limit) to 86400, "
                "not \"" +
                *value + "\"");
        }
    } else if (flag == "--boards") {
        int boards = 0;
        if (!ParseBoardCount(*value, boards)) {
            return UsageError("--boards takes a number of boards, 0 for no limit, not \"" + *value +
                              "\"");
        }
        flags.boards = boards;
    } else if (flag == "--report") {
        flags.report = true;
    } else if (flag == "--since" || flag == "--part" || flag == "--csv") {
        return TakeReportFlag(flag, value, flags);
    } else if (flag == "--help" || flag == "-h") {
        PrintUsage(stdout);
        return EndOfAnswer("--help", 0);
    } else if (flag == "--version" || flag == "-V") {
        std::printf("talvex-cli %s\n", TALVEX_VERSION);
        return EndOfAnswer("--version", 0);
    }
    return std::nullopt;
}

// The byte trace of the one port, headed with when it began; none when not
// asked for or when the file cannot be opened (the run goes on without it).
std::shared_ptr<FileTraceSink> OpenTrace(const Flags& flags) {
    if (!flags.trace) return nullptr;
    std::string whyNot;
    std::shared_ptr<FileTraceSink> trace = FileTraceSink::Open(*flags.trace, whyNot);
    if (!trace) {
        std::fprintf(stderr,
                     "talvex-cli: trace file %s not opened (%s); the run goes on without a "
                     "trace.\n",
                     Printable(*flags.trace).c_str(), whyNot.c_str());
        return nullptr;
    }
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    trace->Write("# talvex-cli " TALVEX_VERSION " byte trace, begun " + FormatUtcTime(now.count()) +
                 ". Times in microseconds from the first use of the port;"
                 " > sent, < received, * the port opened or closed.\n");
    return trace;
}

// Board after board on the one port; the window prints every board's lines
// and its summary.
int RunBoards(ConsoleWindow& window, const StartupResult& startup, const Flags& flags,
              const std::shared_ptr<FileTraceSink>& trace) {
    // What each board's session will read, as the single run reports it.
    const Settings settings = RunSettings(startup);
    if (!SerialStampingUsable(settings)) return ToInt(ExitCode::Image);
    std::shared_ptr<ILineDatabase> database;
    if (const auto refused = UseLineDatabase(settings, flags.line, database)) return *refused;
    ReportMassEraseOnly(settings);
    ReportUnusableImage(startup);
    BoardLoopSetup setup;
    setup.startup = startup;
    setup.recordFile = flags.record;
    setup.trace = trace;
    setup.idLimit = std::chrono::seconds(flags.idTimeout);
    setup.boards = *flags.boards;
    setup.database = database;
    BoardLoop loop(window, setup);
    const int code = loop.Run(g_interrupted);
    ExplainFileOpenError(window, loop.ImagePath());
    return code;
}

// The report only reads: every flag of a run, and every option, would be
// dropped without effect, so it is refused instead.
std::string ReportConflict(const Flags& flags, bool ports, int argc, char** argv, int first) {
    const char* runFlag = flags.show        ? "--show"
                          : flags.listPorts ? "--list-ports"
                          : ports           ? "--ports"
                          : flags.boards    ? "--boards"
                          : flags.trace     ? "--trace"
                          : flags.idTimeout ? "--id-timeout"
                                            : nullptr;
    if (runFlag) return std::string("--report runs no board; leave out ") + runFlag;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (i > first || word.find('=') != std::string::npos) {
            return "--report takes only a settings file after its flags, not \"" + Printable(word) +
                   "\"";
        }
    }
    return {};
}

// --report, from the record file of --record or of the settings file.
int Report(const Flags& flags, bool ports, int argc, char** argv, int first) {
    if (!flags.report) return UsageError("--since, --part and --csv go with --report");
    const std::string conflict = ReportConflict(flags, ports, argc, argv, first);
    if (!conflict.empty()) return UsageError(conflict);
    const StartupResult startup =
        RunStartup(CurrentProgramDir(), JoinCommandLine(argc, argv, first), false);
    ReportSettingsFile(startup, false);
    // A record file given on the command line is what was asked for; else
    // the line database, when one is set, holds every station's runs.
    if (!flags.record) {
        if (const auto code =
                ReportFromLineDatabase(startup.settings, flags.line, flags.reportOptions)) {
            return *code;
        }
    }
    return RunReportCommand(flags.reportOptions, flags.record, startup.settings.settingsPath);
}

// --show: the settings a run would use, as a window would read them, and
// the serial number it would take; 2 when that number cannot be had.
int ShowSettings(const StartupResult& startup, const std::vector<std::string>& gangPorts,
                 const std::optional<std::string>& database) {
    Settings settings = startup.settings;
    ReadSettingsAtOpening(settings);
    ReadSettingsAtConfigure(settings);
    ApplyUnstoredOptions(startup, settings);
    Show(settings, startup.partDbPresent, startup.unattended);
    if (!gangPorts.empty()) std::printf("ports=%s\n", FormatPortList(gangPorts).c_str());
    const bool serialUsable = ShowSerial(settings, database);
    return EndOfAnswer("--show", serialUsable ? 0 : ToInt(ExitCode::Image));
}

} // namespace

int talvex::RunConsole(int argc, char** argv) {
    PrepareStandardStreams();
    Flags flags;
    int first = 1;
    std::optional<std::string> portList;
    // Every word with a leading dash is a flag: none is ever taken for a
    // settings file, which a run would create and then use.
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (auto list = TakePortsFlag(argc, argv, first)) {
            portList = std::move(list);
            continue;
        }
        std::string flag = argv[first];
        // A flag that takes a value takes it as --flag=VALUE or as the next word.
        std::optional<std::string> value;
        const std::size_t equals = flag.find('=');
        if (equals != std::string::npos) {
            value = flag.substr(equals + 1);
            flag.resize(equals);
        }
        const KnownFlag* known = nullptr;
        for (const KnownFlag& candidate : kKnownFlags) {
            if (flag == candidate.name) known = &candidate;
        }
        if (!known) return UnknownFlag(flag);
        if (known->takesValue && !value) {
            if (first + 1 >= argc) return UsageError(flag + " needs a value");
            value = argv[++first];
        } else if (!known->takesValue && value) {
            return UsageError(flag + " takes no value");
        }
        if (const std::optional<int> end = TakeFlag(flag, value, flags)) return *end;
    }
    // After the settings file a flag would be taken for an option and
    // dropped without a word; the run would go ahead without it.
    for (int i = first; i < argc; ++i) {
        if (argv[i][0] == '-') {
            return UsageError(Printable(argv[i]) +
                              " must come before the settings file and the options");
        }
    }

    if (flags.report || flags.reportOnlyFlag) {
        return Report(flags, portList.has_value(), argc, argv, first);
    }

    // One trace file cannot tell several boards' bytes apart.
    if (portList && flags.trace) {
        return UsageError("--trace follows one port; it cannot be given with --ports");
    }
    // A list that cannot be used must not leave its options in the file.
    std::vector<std::string> gangPorts;
    std::string gangError;
    if (!PrepareGang(portList, argc, argv, first, gangPorts, gangError)) {
        std::fprintf(stderr, "talvex-cli: %s\n", gangError.c_str());
        return ToInt(ExitCode::Usage);
    }

    // Listing the ports only looks: the options given with it apply to the
    // look and are not stored.
    const StartupResult startup =
        RunStartup(CurrentProgramDir(), JoinCommandLine(argc, argv, first), !flags.listPorts);
    ReportSettingsFile(startup, !flags.listPorts);

    if (flags.listPorts) return ListPortsAndExplain(startup);
    if (flags.show) return ShowSettings(startup, gangPorts, flags.line.database);
    if (flags.line.init || flags.line.flush) return LineDatabaseCommand(startup, flags.line);
    if (!startup.partDbPresent) {
        // A window would end silently with 2; the operator still deserves to
        // know why.
        std::fprintf(
            stderr, "%s\n",
            MissingPartDbMessage(startup.settings.partDbPath, startup.partDbProblem).c_str());
        return ToInt(ExitCode::Image);
    }

    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    if (!gangPorts.empty()) {
        GangRun gang(startup, gangPorts, ConsoleGangOutput(flags.progress));
        if (flags.record) gang.SetRunRecordFile(*flags.record);
        gang.SetIdentificationLimit(std::chrono::seconds(flags.idTimeout));
        if (!SerialStampingUsable(gang.CurrentSettings())) return ToInt(ExitCode::Image);
        std::shared_ptr<ILineDatabase> database;
        if (const auto refused = UseLineDatabase(gang.CurrentSettings(), flags.line, database)) {
            return *refused;
        }
        gang.SetLineDatabase(database);
        if (flags.boards) gang.SetBoardsPerPort(*flags.boards);
        ReportMassEraseOnly(gang.CurrentSettings());
        ReportUnusableImage(startup);
        const int code = gang.Run(g_interrupted);
        ReportLostOutput();
        return code;
    }

    ConsoleWindow window(stdout, stderr, flags.progress && StderrIsTerminal());
    // The console always runs unattended, as if aa=y were given.
    StartupResult unattended = startup;
    unattended.unattended = true;
    const std::shared_ptr<FileTraceSink> trace = OpenTrace(flags);
    int code = 0;
    if (flags.boards) {
        code = RunBoards(window, unattended, flags, trace);
    } else {
        DownloadSession session(window, unattended);
        if (!SerialStampingUsable(session.CurrentSettings())) return ToInt(ExitCode::Image);
        std::shared_ptr<ILineDatabase> database;
        if (const auto refused = UseLineDatabase(session.CurrentSettings(), flags.line, database)) {
            return *refused;
        }
        session.SetLineDatabase(database);
        if (flags.record) session.SetRunRecordFile(*flags.record);
        if (trace) session.SetTraceSink(trace);
        session.SetIdentificationLimit(std::chrono::seconds(flags.idTimeout));
        ReportMassEraseOnly(session.CurrentSettings());
        ReportUnusableImage(unattended);
        session.Open();
        ResultWait wait;
        wait.result = [&window, &code](std::chrono::milliseconds slice) {
            const auto result = window.WaitForResult(slice);
            if (result) code = ToInt(*result);
            return result.has_value();
        };
        // The download that gave the result prints its last lines; the
        // worker starts nothing after a result.
        wait.idle = [&session](std::chrono::milliseconds slice) { return session.WaitIdle(slice); };
        if (!WaitForResultThenIdle(g_interrupted, wait)) code = ToInt(ExitCode::Interrupted);
        // The worker finishes the step in hand and closes the port; the
        // console's operations never wait for this thread, so joining here
        // is safe.
        session.RequestStop();
        ExplainFileOpenError(window, session.ImagePath());
    }
    if (trace && !trace->Failure().empty()) {
        std::fprintf(stderr, "talvex-cli: trace file %s is incomplete (%s).\n",
                     Printable(trace->Path()).c_str(), trace->Failure().c_str());
    }
    if (g_interrupted && code == ToInt(ExitCode::Interrupted)) {
        std::fputs("Interrupted; the port is closed and the target may be partly programmed.\n",
                   stderr);
    }
    ReportLostOutput();
    return code;
}
