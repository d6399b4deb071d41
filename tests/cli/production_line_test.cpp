// talvex-cli on a production line, as a batch file runs it: a record line
// per board, a bounded wait for the target, ports that say why they cannot
// be opened, and a byte trace. Also the settings key that gives the window
// its record file.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "cli_fixture.h"
#include "download_session.h"
#include "ini_file.h"
#include "json_reader.h"
#include "port_diagnosis.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

class ProductionLineTest : public CliTest {
protected:
    std::string Sha256Sum(const std::string& path) {
        const Child child = RunProgram({"/usr/bin/sha256sum", path}, dir_.string());
        return child.out.substr(0, 64);
    }
    std::string HostName() {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        return name;
    }
};

TEST_F(ProductionLineTest, EachRunAppendsOneRecordThatAnswersWhatWentIntoTheBoard) {
    const std::string cli = Install();
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    const auto records = dir_ / "line.jsonl";
    struct Case {
        std::vector<std::string> sim;
        int code;
        std::string id;
        long long written;
        long long verified;
        std::string message;
    };
    const Case cases[] = {
        {{}, 0, "ZaRQ4126 BOOT rJ.2", 64, 64, ""},
        {{"--nak", "W@2"},
         7,
         "ZaRQ4126 BOOT rJ.2",
         16,
         0,
         "Error at 0x10 - 0x20 \n Download aborted."},
        {{"--part", "ZaRQ4127"}, 6, "ZaRQ4127 BOOT rJ.2", 0, 0, ""},
    };
    for (const Case& c : cases) {
        auto& sim = StartSim(c.sim);
        const Child child =
            RunProgram({cli, "--record", records.string(), "af=" + image_, "cp=" + sim.DevicePath(),
                        "cb=115200", "fe=n", "fp=y", "fv=y", "rr=n"},
                       dir_.string());
        EXPECT_EQ(ExitCodeOf(child), c.code) << child.err;
        sim.Stop();
        sim_.reset();
    }

    const auto lines = FileLines(records);
    ASSERT_EQ(lines.size(), 3u);
    const std::string sha = Sha256Sum(image_);
    ASSERT_EQ(sha.size(), 64u);
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const auto parsed = JsonReader::Parse(lines[i]);
        ASSERT_TRUE(parsed.has_value()) << "every line is JSON on its own";
        const JsonValue& r = *parsed;
        const Case& c = cases[i];
        EXPECT_TRUE(std::regex_match(r["start"].text, iso));
        EXPECT_EQ(r["host"].text, HostName());
        EXPECT_EQ(r["version"].text, TALVEX_VERSION);
        EXPECT_EQ(r["baud"].text, "115200");
        EXPECT_EQ(r["part"].text, "ZaRQ4126");
        EXPECT_EQ(r["id"].text, c.id);
        EXPECT_EQ(r["image"]["path"].text, image_);
        EXPECT_EQ(r["image"]["bytes"].Int(),
                  static_cast<long long>(std::filesystem::file_size(image_)));
        EXPECT_EQ(r["image"]["sha256"].text, sha) << "the same digest as sha256sum";
        EXPECT_TRUE(r["asked"]["verify"].boolean);
        EXPECT_EQ(r["done"]["pages_erased"].Int(), c.code == 6 ? 0 : 1);
        EXPECT_EQ(r["done"]["bytes_written"].Int(), c.written);
        EXPECT_EQ(r["done"]["bytes_verified"].Int(), c.verified);
        EXPECT_EQ(r["result"]["code"].Int(), c.code);
        EXPECT_EQ(r["result"]["meaning"].text, ExitCodeMeaning(c.code));
        if (c.message.empty()) {
            EXPECT_TRUE(r["result"]["message"].IsNull());
        } else {
            EXPECT_EQ(r["result"]["message"].text, c.message);
        }
        double phases = 0;
        for (const auto& [name, ms] : r["phases_ms"].members) {
            EXPECT_GE(ms.number, 0.0) << name;
            phases += ms.number;
        }
        EXPECT_LE(phases, r["duration_ms"].number + 0.01);
        EXPECT_TRUE(r["phases_ms"].Has("identify"));
        EXPECT_EQ(r["phases_ms"].Has("write"), c.code != 6);
        EXPECT_EQ(r["phases_ms"].Has("verify"), c.code == 0);
    }
}

TEST_F(ProductionLineTest, ARecordThatCannotBeWrittenIsAnErrorButNotTheResult) {
    const std::string cli = Install();
    auto& sim = StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const std::string records = (dir_ / "no-folder" / "line.jsonl").string();
    const Child child = RunProgram({cli, "--record=" + records, "af=" + image_,
                                    "cp=" + sim.DevicePath(), "cb=115200", "fe=n", "fv=y"},
                                   dir_.string());
    EXPECT_EQ(ExitCodeOf(child), 0);
    EXPECT_EQ(child.err, "Run record not written to " + records + ": No such file or directory.\n");
}

TEST_F(ProductionLineTest, TwoStationsAppendingToOneFileNeverTearALine) {
    const std::string cli = Install();
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const std::string missing = (dir_ / "no-such-tty").string();
    const std::string settings = (dir_ / "bin" / "talvex.ini").string();
    ini::WriteText(settings, "TalVex", "File", image_);
    ini::WriteText(settings, "Coms", "Port", missing);
    const auto records = dir_ / "shared.jsonl";
    // Each run fails at once on the missing port, but goes through the whole
    // record path: the image's digest, the port's diagnosis, the append.
    const std::string loop =
        "i=0; while [ $i -lt 200 ]; do \"$0\" --record \"$1\" >/dev/null 2>&1; i=$((i+1)); done";
    std::vector<pid_t> stations;
    for (int s = 0; s < 2; ++s) {
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", loop.c_str(), cli.c_str(), records.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        stations.push_back(pid);
    }
    for (pid_t pid : stations) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string text = FileText(records);
    const auto lines = FileLines(records);
    ASSERT_EQ(lines.size(), 400u);
    EXPECT_EQ(text.back(), '\n');
    std::size_t whole = 0;
    for (const std::string& line : lines) {
        const auto r = JsonReader::Parse(line);
        if (!r) continue;
        ++whole;
        EXPECT_EQ((*r)["result"]["code"].Int(), 4);
        // The record does not open every other port to name the ones that work.
        EXPECT_EQ((*r)["result"]["port_problem"].text, missing + " does not exist.");
    }
    EXPECT_EQ(whole, 400u);
}

TEST_F(ProductionLineTest, IdentificationTimeoutEndsASilentTargetWithFourInAboutASecond) {
    const std::string cli = Install();
    auto& sim = StartSim({"--never-announce"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const auto records = dir_ / "line.jsonl";
    const auto started = std::chrono::steady_clock::now();
    const Child child = RunProgram({cli, "--id-timeout", "1", "--record", records.string(),
                                    "af=" + image_, "cp=" + sim.DevicePath(), "cb=115200"},
                                   dir_.string());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(ExitCodeOf(child), 4);
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 2500ms);
    EXPECT_EQ(child.err, "No identification from the target on " + sim.DevicePath() +
                             " within 1 s. Is it in bootloader mode?\n");
    EXPECT_EQ(child.out.find("received"), std::string::npos);
    const auto lines = FileLines(records);
    ASSERT_EQ(lines.size(), 1u);
    const auto r = JsonReader::Parse(lines[0]);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE((*r)["id"].IsNull());
    EXPECT_GE((*r)["phases_ms"]["identify"].number, 1000.0);
    // The port is free for the next board at once.
    CSerialPort port;
    EXPECT_TRUE(port.Open(sim.DevicePath(), "115200"));
}

TEST_F(ProductionLineTest, TraceShowsTheRefusedFrameTheNakTheResyncAndTheRepeat) {
    const std::string cli = Install();
    auto& sim = StartSim({"--ack-after", "1:W@1"});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const auto trace = dir_ / "board.trace";
    const Child child = RunProgram({cli, "--trace", trace.string(), "af=" + image_,
                                    "cp=" + sim.DevicePath(), "cb=115200", "fe=n", "fv=n"},
                                   dir_.string());
    ASSERT_EQ(ExitCodeOf(child), 0) << child.err;
    const auto lines = FileLines(trace);
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("# talvex-cli ", 0), 0u);

    // Groups start with a time; continuation lines with blanks only. A note
    // ("#") is a group of its own: the answer wait's notes come whenever the
    // machine's load makes an answer slow, so they are left out below.
    const std::regex group(R"(^ *(\d+)  ([<>*#]) (.*)$)");
    std::vector<std::string> groups; // direction and text, continuations joined
    long long last = -1;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        if (std::regex_match(lines[i], m, group)) {
            const long long t = std::stoll(m[1]);
            EXPECT_GE(t, last) << "time stamps never go back: " << lines[i];
            last = t;
            groups.push_back(m[2].str() + " " + m[3].str());
        } else {
            ASSERT_FALSE(groups.empty());
            groups.back() += "\n" + lines[i];
        }
    }
    const auto frameW = std::find_if(groups.begin(), groups.end(), [](const std::string& g) {
        return g.find("frame W 0x00000000, 16 data bytes") != std::string::npos;
    });
    ASSERT_NE(frameW, groups.end());
    // After the refusal: the NAK, the resync block, the waits for the line to
    // fall quiet (as many as the exchange makes), then the same frame again.
    std::vector<std::string> after(frameW + 1, groups.end());
    after.erase(std::remove_if(after.begin(), after.end(),
                               [](const std::string& g) { return g.rfind("# ", 0) == 0; }),
                after.end());
    after.erase(std::remove_if(after.begin() + std::min<std::size_t>(2, after.size()), after.end(),
                               [](const std::string& g) { return g.rfind("< (nothing", 0) == 0; }),
                after.end());
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(frameW->rfind("> 07 0E 15 57 00 00 00 00 ", 0), 0u) << *frameW;
    EXPECT_EQ(after[0], "< 15                                               NAK");
    EXPECT_EQ(after[1].rfind("> 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  resync block", 0),
              0u)
        << after[1];
    EXPECT_NE(after[1].find("00 00 00 00 00 00 00 07 07"), std::string::npos);
    const std::string firstTry = frameW->substr(0, frameW->find("  frame"));
    EXPECT_EQ(after[2].substr(0, after[2].find("  frame")), firstTry) << "the same bytes again";
    EXPECT_NE(after[2].find("frame W 0x00000000, 16 data bytes, try 2"), std::string::npos);
    EXPECT_EQ(after[3], "< 06                                               ACK");
    // The identification is shown as text beside its bytes.
    const bool idShown = std::any_of(groups.begin(), groups.end(), [](const std::string& g) {
        return g.rfind("< 5A 61 52 51", 0) == 0 && g.find("ZaRQ4126 BOOT rJ") != std::string::npos;
    });
    EXPECT_TRUE(idShown);
    EXPECT_EQ(groups.back(), "* close");
}

TEST_F(ProductionLineTest, ListPortsNamesAMissingPortAndTheOnesThatExist) {
    const std::string cli = Install();
    const std::string missing = (dir_ / "ttyGONE").string();
    const Child child = RunProgram({cli, "--list-ports", "cp=" + missing}, dir_.string());
    EXPECT_EQ(ExitCodeOf(child), 4);
    std::string expectedOut;
    for (const std::string& port : ListPorts()) expectedOut += port;
    std::string out;
    std::istringstream lines(child.out);
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        if (!last.empty()) out += last.substr(0, last.find("  "));
        last = line;
    }
    EXPECT_EQ(out, expectedOut) << "one line per port the Comms page lists";
    EXPECT_EQ(last, "configured port " + missing + " at 9600 baud: does not open (see below)");
    EXPECT_EQ(child.err.rfind("Can not open COM port.\n" + missing + " does not exist. ", 0), 0u)
        << child.err;
    EXPECT_TRUE(child.err.find("Ports that can be opened now:") != std::string::npos ||
                child.err.find("No port can be opened now.") != std::string::npos);
}

TEST_F(ProductionLineTest, ListPortsEndsWithZeroWhenTheConfiguredPortOpens) {
    const std::string cli = Install();
    auto& sim = StartSim({});
    const Child child =
        RunProgram({cli, "--list-ports", "cp=" + sim.DevicePath(), "cb=115200"}, dir_.string());
    EXPECT_EQ(ExitCodeOf(child), 0);
    EXPECT_EQ(child.err, "");
    EXPECT_TRUE(Frames().empty()) << "nothing is sent to the target";
}

TEST_F(ProductionLineTest, APortHeldByAnotherProcessNamesThatProcess) {
    const std::string cli = Install();
    auto& sim = StartSim({});
    CSerialPort holder;
    ASSERT_TRUE(holder.Open(sim.DevicePath(), "115200"));
    const Child child = RunProgram({cli, "--list-ports", "cp=" + sim.DevicePath()}, dir_.string());
    EXPECT_EQ(ExitCodeOf(child), 4);
    const std::string expected = sim.DevicePath() + " is held by another process: process " +
                                 std::to_string(getpid()) + " (";
    EXPECT_NE(child.err.find(expected), std::string::npos) << child.err;
}

TEST_F(ProductionLineTest, PermissionDeniedSaysWhichGroupTheUserLacks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run talvex-cli as another user";
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    const std::string cli = Install();
    auto& sim = StartSim({});
    const std::string tty = sim.DevicePath();
    // The group may read and write; only membership is missing.
    ASSERT_EQ(chmod(tty.c_str(), 0660), 0);
    struct stat st {};
    ASSERT_EQ(stat(tty.c_str(), &st), 0);
    const group* gr = getgrgid(st.st_gid);
    ASSERT_NE(gr, nullptr);
    const std::string groupName = gr->gr_name;
    // nobody must reach the program and its part database.
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const Child child = RunProgram({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                    "--clear-groups", cli, "--list-ports", "cp=" + tty},
                                   dir_.string());
    EXPECT_EQ(ExitCodeOf(child), 4) << child.err;
    EXPECT_NE(child.err.find("Can not open COM port.\nPermission denied: " + tty + " belongs to"),
              std::string::npos)
        << child.err;
    EXPECT_NE(child.err.find("User nobody is not in group " + groupName + ": add it"),
              std::string::npos)
        << child.err;
}

TEST_F(ProductionLineTest, HelpListsTheProductionLineFlagsAndBadValuesAreUsageErrors) {
    const std::string cli = Install();
    const Child help = RunProgram({cli, "--help"}, dir_.string());
    EXPECT_EQ(ExitCodeOf(help), 0);
    for (const char* flag :
         {"--record FILE", "--id-timeout SECONDS", "--trace FILE", "--list-ports"}) {
        EXPECT_NE(help.out.find(flag), std::string::npos) << flag;
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--id-timeout", "soon"},
                                                 {"--id-timeout=-1"},
                                                 {"--id-timeout", "86401"},
                                                 {"--record"},
                                                 {"--trace="},
                                                 {"--show=yes"}}) {
        std::vector<std::string> argv{cli};
        argv.insert(argv.end(), args.begin(), args.end());
        const Child child = RunProgram(argv, dir_.string());
        EXPECT_EQ(ExitCodeOf(child), 64) << args[0];
        EXPECT_EQ(child.out, "") << "nothing runs";
    }
}

TEST_F(ProductionLineTest, AGangRecordsEachBoardAndBoundsEachWait) {
    const std::string cli = Install();
    auto& answering = StartSim({});
    zarq::SimOptions silentOptions;
    std::string error;
    ASSERT_TRUE(
        zarq::ParseSimArgs({"--never-announce", "--partdb", partDb_}, silentOptions, error));
    zarq::Simulator silent(silentOptions);
    ASSERT_TRUE(silent.Start(error)) << error;
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const auto records = dir_ / "gang.jsonl";
    const std::string list = answering.DevicePath() + "," + silent.DevicePath();
    const auto started = std::chrono::steady_clock::now();
    const Child child =
        RunProgram({cli, "--ports", list, "--record", records.string(), "--id-timeout", "1",
                    "af=" + image_, "cb=115200", "fe=n", "fv=y"},
                   dir_.string());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << "the silent slot gave up";
    EXPECT_EQ(ExitCodeOf(child), 4) << child.out << child.err;
    silent.Stop();
    std::map<std::string, long long> codes;
    for (const std::string& line : FileLines(records)) {
        const auto r = JsonReader::Parse(line);
        ASSERT_TRUE(r.has_value()) << line;
        codes[(*r)["port"].text] = (*r)["result"]["code"].Int();
    }
    EXPECT_EQ(codes, (std::map<std::string, long long>{{answering.DevicePath(), 0},
                                                       {silent.DevicePath(), 4}}));

    const Child traced = RunProgram(
        {cli, "--ports", list, "--trace", (dir_ / "t").string(), "af=" + image_}, dir_.string());
    EXPECT_EQ(ExitCodeOf(traced), 64) << "one trace file cannot tell boards apart";
    EXPECT_FALSE(std::filesystem::exists(dir_ / "t"));
}

// The window's way to the same record: a settings key, relative to the
// settings file's folder.
class ProductionSessionTest : public EngineTest {};

TEST_F(ProductionSessionTest, LogFileKeyGivesTheWindowARecordBesideTheSettingsFile) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const Settings s = MakeSettings();
    const StartupResult startup = StoredStartup(s, false);
    ini::WriteText(s.settingsPath, "Log", "File", "records/line.jsonl");
    std::filesystem::create_directories(dir_ / "records");
    {
        DownloadSession session(window_, startup);
        EXPECT_EQ(session.RunRecordFile(), (dir_ / "records" / "line.jsonl").string());
        session.Open();
        session.Start();
        ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
        ASSERT_TRUE(session.WaitIdle(5s));
    }
    const auto lines = FileLines(dir_ / "records" / "line.jsonl");
    ASSERT_EQ(lines.size(), 1u);
    const auto r = JsonReader::Parse(lines[0]);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ((*r)["result"]["code"].Int(), 0);
    EXPECT_EQ((*r)["done"]["bytes_verified"].Int(), 32);
}

} // namespace
} // namespace talvex::testing
