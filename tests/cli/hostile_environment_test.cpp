// talvex-cli where a service, a careless batch file or a pipeline starts
// it: standard streams closed or pointing nowhere, a reader that goes away,
// stray flags, a dumb terminal, an image that is not there, a settings file
// at its size limit and paths longer than any buffer. None of it may reach
// the board or turn a failure into a success.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "cli_fixture.h"
#include "ini_file.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Bytes(const std::vector<Chunk>& chunks) {
    std::vector<std::uint8_t> bytes;
    for (const Chunk& chunk : chunks)
        bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
    return bytes;
}

class HostileEnvironmentTest : public CliTest {
protected:
    // A download of a few records against a fresh emulated target.
    std::vector<std::string> DownloadArgs(const std::string& cli) {
        auto& sim = StartSim({});
        chunks_ = Records(0, 8, 32);
        WriteImage("board.hex", HexText(chunks_));
        return {cli, "af=" + image_, "cp=" + sim.DevicePath(), "cb=115200", "fe=n", "fv=y"};
    }
    bool ImageIsInFlash() { return FlashRange(0, 8 * 32) == Bytes(chunks_); }
    std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<Chunk> chunks_;
};

TEST_F(HostileEnvironmentTest, ClosedStandardStreamsNeverReachTheTarget) {
    const std::string cli = Install();
    const std::vector<std::pair<const char*, std::vector<int>>> cases = {
        {"stdin", {0}}, {"stdout", {1}}, {"stderr", {2}}, {"all three", {0, 1, 2}}};
    for (const auto& [name, closed] : cases) {
        RunOptions arrangement;
        arrangement.inChild = [closed = closed] {
            for (int fd : closed) close(fd);
        };
        const Child child = RunProgram(DownloadArgs(cli), dir_.string(), arrangement);
        EXPECT_EQ(ExitCodeOf(child), 0) << name << child.err;
        EXPECT_EQ(sim_->Stats().bytesSkipped, 0u) << name << ": status text went down the line";
        EXPECT_TRUE(ImageIsInFlash()) << name;
    }
}

// The reader of stdout reads one line and goes away, as `| head -1` does.
TEST_F(HostileEnvironmentTest, AReaderThatGoesAwayNeitherStopsTheRunNorChangesItsCode) {
    const std::string cli = Install();
    const auto records = dir_ / "line.jsonl";
    auto readOneLineThenClose = [](int readEnd) {
        char c = 0;
        while (read(readEnd, &c, 1) == 1 && c != '\n') {
        }
        close(readEnd);
    };
    // One board, then a gang of two.
    for (const bool gang : {false, true}) {
        std::vector<std::string> args = DownloadArgs(cli);
        std::unique_ptr<zarq::Simulator> second;
        if (gang) {
            zarq::SimOptions options;
            std::string error;
            ASSERT_TRUE(zarq::ParseSimArgs({"--partdb", partDb_}, options, error)) << error;
            second = std::make_unique<zarq::Simulator>(options);
            ASSERT_TRUE(second->Start(error)) << error;
            args.insert(args.begin() + 1,
                        {"--ports", sim_->DevicePath() + "," + second->DevicePath()});
        }
        args.insert(args.begin() + 1, {"--record", records.string()});
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        RunOptions arrangement;
        arrangement.inChild = [&] {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            close(pipeFds[1]);
        };
        arrangement.whileRunning = [&](pid_t) {
            close(pipeFds[1]);
            readOneLineThenClose(pipeFds[0]);
        };
        std::filesystem::remove(records);
        const Child child = RunProgram(args, dir_.string(), arrangement);
        EXPECT_EQ(ExitCodeOf(child), 0) << "gang " << gang << ": " << child.err;
        EXPECT_TRUE(ImageIsInFlash()) << "gang " << gang;
        if (second) {
            const std::vector<std::uint8_t> expected = Bytes(chunks_);
            const std::vector<std::uint8_t> flash = second->Flash();
            ASSERT_GE(flash.size(), expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
            second->Stop();
        }
        const auto lines = FileLines(records);
        EXPECT_EQ(lines.size(), gang ? 2u : 1u) << "one record per board";
        for (const std::string& line : lines) {
            EXPECT_NE(line.find("\"result\":{\"code\":0"), std::string::npos) << line;
        }
        EXPECT_NE(child.err.find("talvex-cli: output to stdout (Broken pipe) was lost; the run "
                                 "went on to its end, and the exit code is the run's own.\n"),
                  std::string::npos)
            << child.err;
    }
}

TEST_F(HostileEnvironmentTest, OutputThatCannotBeWrittenIsNeverSilentSuccess) {
    const std::string cli = Install();
    RunOptions full;
    full.inChild = [] {
        const int fd = open("/dev/full", O_WRONLY);
        dup2(fd, 1);
        close(fd);
    };
    // Answers a script reads: code 74 and the reason.
    for (const std::vector<std::string>& flags :
         {std::vector<std::string>{"--help"}, {"--version"}, {"--show"}, {"-h"}, {"-V"}}) {
        std::vector<std::string> args{cli};
        args.insert(args.end(), flags.begin(), flags.end());
        const Child child = RunProgram(args, dir_.string(), full);
        EXPECT_EQ(ExitCodeOf(child), 74) << flags[0];
        EXPECT_NE(child.err.find("could not be written to stdout (No space left on device)"),
                  std::string::npos)
            << flags[0] << ": " << child.err;
    }
    auto& sim = StartSim({});
    const Child list =
        RunProgram({cli, "--list-ports", "cp=" + sim.DevicePath()}, dir_.string(), full);
    EXPECT_EQ(ExitCodeOf(list), 74) << list.err;

    // A download keeps its own code and says that its lines were lost.
    const Child run = RunProgram(DownloadArgs(cli), dir_.string(), full);
    EXPECT_EQ(ExitCodeOf(run), 0) << run.err;
    EXPECT_TRUE(ImageIsInFlash());
    EXPECT_NE(run.err.find("output to stdout (No space left on device) was lost"),
              std::string::npos)
        << run.err;
}

TEST_F(HostileEnvironmentTest, WordsWithADashAreFlagsAndNeverSettingsFiles) {
    const std::string cli = Install();
    const auto work = dir_ / "work";
    std::filesystem::create_directories(work);
    const auto before = FilesIn(dir_ / "bin");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string out; // what stdout begins with
        std::string err; // stderr, whole
    };
    const std::vector<Case> cases = {
        {{"-h"}, 0, "Usage: talvex-cli", ""},
        {{"-V"}, 0, "talvex-cli " TALVEX_VERSION "\n", ""},
        {{"--show", "-h", "cp=COM3"}, 0, "Usage: talvex-cli", ""},
        {{"--prots", "COM3,COM4"},
         64,
         "",
         "talvex-cli: unknown flag --prots; did you mean --ports? (talvex-cli --help)\n"},
        {{"--frobnicate"}, 64, "", "talvex-cli: unknown flag --frobnicate (talvex-cli --help)\n"},
        {{"-x", "cp=COM3"}, 64, "", "talvex-cli: unknown flag -x (talvex-cli --help)\n"},
        // After the settings file a flag would have been dropped, and the run
        // would have gone ahead without it.
        {{"line.ini", "--show"},
         64,
         "",
         "talvex-cli: --show must come before the settings file and the options (talvex-cli "
         "--help)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{cli};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Child child = RunProgram(args, work.string());
        EXPECT_EQ(ExitCodeOf(child), c.code) << c.args[0];
        EXPECT_TRUE(child.out.starts_with(c.out)) << c.args[0] << ": " << child.out;
        EXPECT_EQ(child.err, c.err) << c.args[0];
        EXPECT_EQ(child.out.find("Connect test board"), std::string::npos) << c.args[0];
        EXPECT_TRUE(FilesIn(work).empty()) << c.args[0] << " created a file";
        EXPECT_EQ(FilesIn(dir_ / "bin"), before) << c.args[0] << " created a settings file";
    }
}

TEST_F(HostileEnvironmentTest, ListPortsStoresNothingAndAlwaysNamesTheConfiguredPort) {
    const std::string cli = Install();
    auto& sim = StartSim({});
    const auto before = FilesIn(dir_ / "bin");
    const Child opens =
        RunProgram({cli, "--list-ports", "cp=" + sim.DevicePath(), "cb=57600"}, dir_.string());
    EXPECT_EQ(ExitCodeOf(opens), 0) << opens.err;
    EXPECT_TRUE(
        opens.out.ends_with("configured port " + sim.DevicePath() + " at 57600 baud: opens\n"))
        << opens.out;
    EXPECT_EQ(opens.err.find("not stored"), std::string::npos) << opens.err;

    const std::string missing = (dir_ / "no-such-tty").string();
    const Child fails = RunProgram({cli, "--list-ports", "cp=" + missing}, dir_.string());
    EXPECT_EQ(ExitCodeOf(fails), 4);
    EXPECT_TRUE(fails.out.ends_with("configured port " + missing +
                                    " at 9600 baud: does not open (see below)\n"))
        << fails.out;
    EXPECT_NE(fails.err.find("Can not open COM port.\n"), std::string::npos);
    EXPECT_EQ(FilesIn(dir_ / "bin"), before) << "--list-ports wrote the settings file";
}

// The progress line on a terminal that takes no escapes: redrawn with CR
// and blanks only.
TEST_F(HostileEnvironmentTest, APlainTerminalGetsNoEscapeSequences) {
    const std::string cli = Install();
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> env;
        bool escapes;
    };
    const std::vector<Case> cases = {
        {"TERM=dumb", {{"TERM", "dumb"}, {"NO_COLOR", ""}}, false},
        {"TERM unset", {{"TERM", ""}, {"NO_COLOR", ""}}, false},
        {"NO_COLOR", {{"TERM", "xterm"}, {"NO_COLOR", "1"}}, false},
        {"TERM=xterm", {{"TERM", "xterm"}, {"NO_COLOR", ""}}, true},
    };
    for (const Case& c : cases) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string slave = ptsname(master);
        std::string seen;
        RunOptions arrangement;
        arrangement.env = c.env;
        arrangement.inChild = [&] {
            const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
            dup2(fd, 2);
            close(fd);
            close(master);
        };
        std::thread reader;
        arrangement.whileRunning = [&](pid_t) {
            reader = std::thread([&] {
                char buffer[4096];
                for (;;) {
                    const ssize_t n = read(master, buffer, sizeof buffer);
                    if (n <= 0) break;
                    seen.append(buffer, static_cast<std::size_t>(n));
                }
            });
        };
        // Enough records for the progress line to be drawn in every phase.
        std::vector<std::string> args = DownloadArgs(cli);
        chunks_ = Records(0, 64, 64);
        WriteImage("board.hex", HexText(chunks_));
        const Child child = RunProgram(args, dir_.string(), arrangement);
        // The slave is closed in every process now: the read ends with EIO.
        reader.join();
        close(master);
        EXPECT_EQ(ExitCodeOf(child), 0) << c.name;
        EXPECT_NE(seen.find("Writing"), std::string::npos) << c.name << ": no progress line";
        EXPECT_EQ(seen.find('\033') != std::string::npos, c.escapes) << c.name << ": " << seen;
    }
}

TEST_F(HostileEnvironmentTest, AnImageThatCannotBeUsedIsToldBeforeThePortOpens) {
    const std::string cli = Install();
    WriteImage("bad.hex", ":10000000000102030405060708090A0B0C0D0E0F00\n:00000001FF\n");
    const std::string bad = image_;
    const std::string missing = (dir_ / "missing.hex").string();
    struct Case {
        std::string image;
        std::string reason;
        std::string explained; // the line after "File Open Error.", when there is one
    };
    const std::vector<Case> cases = {
        {missing, "No such file or directory",
         "talvex-cli: af=" + missing + " could not be opened (No such file or directory).\n"},
        {bad, "Bad checksum in line 1 of bad.hex", ""},
    };
    for (const Case& c : cases) {
        auto& sim = StartSim({});
        RunOptions merged;
        // One stream keeps the order in which the lines were written.
        merged.inChild = [] { dup2(1, 2); };
        const Child child = RunProgram(
            {cli, "af=" + c.image, "cp=" + sim.DevicePath(), "cb=115200"}, dir_.string(), merged);
        EXPECT_EQ(ExitCodeOf(child), 2) << child.out;
        const std::size_t notice =
            child.out.find("talvex-cli: af=" + c.image + " cannot be used (" + c.reason +
                           "); this run will end with code 2\n");
        const std::size_t connect = child.out.find("Connect test board");
        ASSERT_NE(notice, std::string::npos) << child.out;
        ASSERT_NE(connect, std::string::npos) << child.out;
        EXPECT_LT(notice, connect) << child.out;
        EXPECT_TRUE(Frames('W').empty()) << "nothing may be written";
        if (!c.explained.empty()) {
            const std::size_t error = child.out.find("File Open Error.\n");
            ASSERT_NE(error, std::string::npos) << child.out;
            EXPECT_NE(child.out.find(c.explained, error), std::string::npos) << child.out;
        }
    }
}

// 30 bytes under the limit: an option that would take the file past it is
// not stored, or every later run would refuse the file and use the
// defaults. It still applies to this run.
TEST_F(HostileEnvironmentTest, AnOptionThatWouldTakeTheSettingsFilePastItsLimitAppliesUnstored) {
    const std::string cli = Install();
    const auto args = DownloadArgs(cli);
    const auto ini = dir_ / "line.ini";
    // The other options are stored already, so only af= would change it.
    std::string text =
        "[Coms]\nPort=" + sim_->DevicePath() + "\nBaud=115200\n[Flash]\nMassErase=No\nVerify=Yes\n";
    const std::string filler = "; " + std::string(76, '-') + "\n";
    while (text.size() + filler.size() <= ini::kMaxFileBytes - 30) text += filler;
    text += std::string(ini::kMaxFileBytes - 30 - text.size() - 1, ';') + "\n";
    ASSERT_EQ(text.size(), ini::kMaxFileBytes - 30);
    std::ofstream(ini, std::ios::binary) << text;

    std::vector<std::string> run{cli, ini.string()};
    run.insert(run.end(), args.begin() + 1, args.end());
    const Child child = RunProgram(run, dir_.string());
    EXPECT_EQ(ExitCodeOf(child), 0) << child.err;
    EXPECT_TRUE(ImageIsInFlash()) << "the run used another image";
    EXPECT_EQ(FileText(ini), text) << "the settings file changed";
    EXPECT_EQ(child.err, "talvex-cli: af=" + image_ + " not stored in " + ini.string() +
                             " (the file would grow to " +
                             std::to_string(ini::kMaxFileBytes - 30 + 15 + image_.size()) +
                             " bytes, past the 1 MB a settings file may have); it applies to "
                             "this run only.\n");
}

// A path of 1100 characters beside a file at its first 1023: a cut path
// would flash that other file.
TEST_F(HostileEnvironmentTest, AnImagePathIsNeverCutShort) {
    const std::string cli = Install();
    std::filesystem::path folder = dir_;
    // Folders, then a file name that the cut at 1023 falls into (names of at
    // most 255 characters each).
    while (folder.string().size() + 201 < 880) folder /= std::string(200, 'd');
    folder /= std::string(880 - folder.string().size() - 1, 'e');
    std::filesystem::create_directories(folder);
    const std::string base = folder.string() + "/";
    const std::string longPath = base + std::string(1100 - base.size() - 4, 'i') + ".hex";
    const std::string cutPath = longPath.substr(0, 1023);
    ASSERT_EQ(longPath.size(), 1100u);
    ASSERT_GT(cutPath.size(), base.size()) << "the cut must fall in the file name";

    const auto other = Records(0, 4, 32);
    std::ofstream(cutPath, std::ios::binary) << HexText(other);
    auto args = [&] {
        return std::vector<std::string>{cli, "af=" + longPath, "cp=" + StartSim({}).DevicePath(),
                                        "cb=115200", "fe=n"};
    };
    const Child refused = RunProgram(args(), dir_.string());
    EXPECT_EQ(ExitCodeOf(refused), 2) << refused.err;
    EXPECT_TRUE(Frames('W').empty()) << "the file at the cut path was flashed";
    EXPECT_NE(refused.err.find("af=" + longPath + " cannot be used"), std::string::npos);

    // With the file in place, it is the one flashed.
    chunks_ = Records(0, 4, 48);
    std::ofstream(longPath, std::ios::binary) << HexText(chunks_);
    const Child flashed = RunProgram(args(), dir_.string());
    EXPECT_EQ(ExitCodeOf(flashed), 0) << flashed.err;
    EXPECT_EQ(FlashRange(0, 4 * 48), Bytes(chunks_));
}

} // namespace
} // namespace talvex::testing
