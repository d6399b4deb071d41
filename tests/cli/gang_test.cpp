// Gang programming: talvex-cli --ports against several emulated targets at
// once. A board that fails must neither stop the others nor hide behind
// their success; a stop must release every port.

#include <cstdio>
#include <regex>

#include "cli_fixture.h"
#include "gang.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

class GangTest : public CliTest {
protected:
    // One emulated board per entry, each with its own options.
    std::vector<std::string> StartSims(const std::vector<std::vector<std::string>>& options) {
        std::vector<std::string> ports;
        for (const std::vector<std::string>& args : options)
            ports.push_back(StartExtraSim(args).DevicePath());
        return ports;
    }

    Child RunGang(const std::vector<std::string>& ports, std::vector<std::string> extra = {},
                  std::chrono::milliseconds interruptAfter = 0ms) {
        std::vector<std::string> args = {Install(),      "--ports",   FormatPortList(ports),
                                         "af=" + image_, "cb=230400", "fe=n",
                                         "fp=y",         "fv=y"};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProgram(args, dir_.string(), interruptAfter);
    }

    std::vector<std::uint8_t> FlashOf(std::size_t sim, std::size_t count) const {
        const auto flash = extraSims_[sim]->Flash();
        return std::vector<std::uint8_t>(flash.begin(), flash.begin() + count);
    }

    // The image's bytes as the flash holds them after a good run.
    static std::vector<std::uint8_t> Bytes(const std::vector<Chunk>& chunks) {
        std::vector<std::uint8_t> bytes;
        for (const Chunk& chunk : chunks)
            bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
        return bytes;
    }

    std::string SettingsText() const {
        std::ifstream in(dir_ / "bin" / "talvex.ini");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

std::string Literal(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// The row of the closing table for a port: code and meaning.
::testing::AssertionResult HasRow(const std::string& out, const std::string& port, int code,
                                  const std::string& meaning) {
    const std::regex row("\\| " + Literal(port) + " +\\| [^|]+\\| +" + std::to_string(code) +
                         " \\| " + Literal(meaning) + " +\\| +[0-9]+\\.[0-9] s \\|\n");
    if (std::regex_search(out, row)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "no row for " << port << " with " << code << " " << meaning << " in:\n"
           << out;
}

TEST_F(GangTest, EveryBoardGetsTheImageAndThePortsStayOutOfTheSettingsFile) {
    const auto ports = StartSims({{}, {}, {}, {}});
    const auto chunks = Records(0, 40, 16);
    WriteImage("board.hex", HexText(chunks));
    // cp= still goes into the file as it always does; the boards use the list.
    const Child child = RunGang(ports, {"cp=COM7"});
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << child.out << child.err;
    EXPECT_EQ(child.err, "");
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(FlashOf(i, 640), Bytes(chunks)) << ports[i];
        EXPECT_NE(child.out.find("[" + ports[i] + "] Flashing Complete.\n"), std::string::npos);
        EXPECT_NE(child.out.find("[" + ports[i] + "] " + extraSims_[i]->IdentificationText() +
                                 " received.\n"),
                  std::string::npos);
        EXPECT_TRUE(HasRow(child.out, ports[i], 0, "success"));
    }
    EXPECT_NE(child.out.find("| Port "), std::string::npos);
    EXPECT_NE(child.out.find("| " + extraSims_[0]->IdentificationText() + " |"), std::string::npos);
    EXPECT_NE(child.out.find("Gang: all 4 boards succeeded; exit code 0.\n"), std::string::npos);
    const std::string ini = SettingsText();
    EXPECT_NE(ini.find("Port=COM7"), std::string::npos);
    for (const auto& port : ports) EXPECT_EQ(ini.find(port), std::string::npos) << ini;
}

TEST_F(GangTest, RefusedWriteFailsOnlyItsBoardAndDecidesTheExitCode) {
    const auto ports = StartSims({{}, {"--nak", "W@3"}, {}});
    const auto chunks = Records(0, 8, 16);
    WriteImage("board.hex", HexText(chunks));
    const Child child = RunGang(ports);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 7) << child.out << child.err;
    const std::string bad = "[" + ports[1] + "] ";
    EXPECT_EQ(child.err, bad + "Error at 0x20 - 0x30 \n" + bad + " Download aborted.\n");
    EXPECT_NE(child.out.find(bad + "Flash error.\n"), std::string::npos);
    EXPECT_TRUE(HasRow(child.out, ports[0], 0, "success"));
    EXPECT_TRUE(HasRow(child.out, ports[1], 7, "write"));
    EXPECT_TRUE(HasRow(child.out, ports[2], 0, "success"));
    EXPECT_EQ(FlashOf(0, 128), Bytes(chunks));
    EXPECT_EQ(FlashOf(2, 128), Bytes(chunks));
    EXPECT_NE(child.out.find("Gang: 2 of 3 boards succeeded; exit code 7 (" + ports[1] +
                             ", the first that failed).\n"),
              std::string::npos);
}

TEST_F(GangTest, SlowBoardsThatIgnoreAWriteFailWhileSlowGoodBoardsSucceed) {
    // Every board answers late; the second and fourth take 80 ms a record
    // and never answer their third write. Answers their repeats still owe
    // must not pass for it.
    const std::vector<std::string> slow = {"--baud", "230400", "--answer-delay-ms", "25"};
    const std::vector<std::string> ignoring = {"--baud", "230400",   "--write-us-per-byte",
                                               "5000",   "--silent", "W@3"};
    const auto ports = StartSims({slow, ignoring, slow, ignoring});
    const auto chunks = Records(0, 6, 16);
    WriteImage("board.hex", HexText(chunks));
    const Child child = RunGang(ports);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 7) << child.out << child.err;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const bool good = i % 2 == 0;
        EXPECT_TRUE(good ? HasRow(child.out, ports[i], 0, "success")
                         : HasRow(child.out, ports[i], 7, "write"));
        if (good)
            EXPECT_EQ(FlashOf(i, 96), Bytes(chunks)) << ports[i];
        else
            EXPECT_NE(FlashOf(i, 96), Bytes(chunks)) << ports[i];
    }
    EXPECT_NE(child.out.find("Gang: 2 of 4 boards succeeded; exit code 7 (" + ports[1] +
                             ", the first that failed).\n"),
              std::string::npos)
        << child.out;
}

TEST_F(GangTest, MissingPortAndLineHungUpMidDownloadEachEndOnlyTheirBoard) {
    // Frames 1 to 5 (one erase, four writes) are answered, then the line
    // goes as an unplugged cable would.
    auto ports = StartSims({{}, {"--hangup-after", "5"}, {}});
    const std::string missing = (dir_ / "no-such-adapter").string();
    ports.insert(ports.begin() + 1, missing);
    const auto chunks = Records(0, 12, 16);
    WriteImage("board.hex", HexText(chunks));
    const auto started = std::chrono::steady_clock::now();
    const Child child = RunGang(ports);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    ASSERT_TRUE(WIFEXITED(child.status));
    // The missing port comes first in the list of the two that failed.
    EXPECT_EQ(WEXITSTATUS(child.status), 4) << child.out << child.err;
    EXPECT_NE(child.err.find("[" + missing + "] Can not open COM port.\n"), std::string::npos)
        << child.err;
    EXPECT_NE(child.err.find("[" + ports[2] + "] Error at 0x40 - 0x50 \n"), std::string::npos)
        << child.err;
    EXPECT_TRUE(HasRow(child.out, missing, 4, "port not opened or read, or run not answered"));
    EXPECT_TRUE(HasRow(child.out, ports[2], 7, "write"));
    for (std::size_t port : {0u, 3u}) EXPECT_TRUE(HasRow(child.out, ports[port], 0, "success"));
    EXPECT_EQ(FlashOf(0, 192), Bytes(chunks));
    EXPECT_EQ(FlashOf(2, 192), Bytes(chunks));
    // The board without a port never identified itself.
    EXPECT_NE(child.out.find("| " + missing + " | -"), std::string::npos) << child.out;
}

TEST_F(GangTest, InterruptStopsEveryBoardClosesEveryPortAndExitsWith130) {
    // One board is done at once; the other two never announce themselves.
    const auto ports = StartSims({{}, {"--never-announce"}, {"--never-announce"}});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const auto started = std::chrono::steady_clock::now();
    const Child child = RunGang(ports, {}, 1500ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 130) << child.out << child.err;
    EXPECT_TRUE(HasRow(child.out, ports[0], 0, "success"));
    EXPECT_TRUE(HasRow(child.out, ports[1], 130, "interrupted"));
    EXPECT_TRUE(HasRow(child.out, ports[2], 130, "interrupted"));
    EXPECT_NE(child.err.find("Interrupted; every port is closed"), std::string::npos);
    // Every device is free again: another program can take it at once.
    for (const auto& port : ports) {
        CSerialPort again;
        EXPECT_TRUE(again.Open(port, "9600")) << port;
    }
}

TEST_F(GangTest, SixteenBoardsAtOnce) {
    const auto ports = StartSims(std::vector<std::vector<std::string>>(16));
    const auto chunks = Records(0, 24, 16);
    WriteImage("board.hex", HexText(chunks));
    const Child child = RunGang(ports);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << child.out << child.err;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(FlashOf(i, 384), Bytes(chunks)) << ports[i];
        EXPECT_TRUE(HasRow(child.out, ports[i], 0, "success"));
    }
}

TEST_F(GangTest, UnusablePortListIsAUsageErrorThatStoresNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--ports", "COM3,COM3", "cb=57600"},
        {"--ports", "", "cb=57600"},
        {"--ports=COM3,,COM4", "cb=57600"},
        // After the settings file it would end the options and leave a
        // single run on the stored port.
        {"line.ini", "--ports", "COM3,COM4", "cb=57600"},
        {"cb=57600", "--ports=COM3"},
    };
    for (const auto& words : cases) {
        std::vector<std::string> args = {Install()};
        args.insert(args.end(), words.begin(), words.end());
        const Child child = RunProgram(args, dir_.string());
        ASSERT_TRUE(WIFEXITED(child.status));
        EXPECT_EQ(WEXITSTATUS(child.status), 64) << words[1];
        EXPECT_NE(child.err.find("talvex-cli: --ports"), std::string::npos) << child.err;
        EXPECT_FALSE(std::filesystem::exists(dir_ / "bin" / "talvex.ini")) << words[1];
        EXPECT_FALSE(std::filesystem::exists(dir_ / "line.ini")) << words[1];
        std::filesystem::remove_all(dir_ / "bin");
    }
}

TEST_F(GangTest, ShowNamesThePortsWithoutStoringThem) {
    const Child child = RunProgram(
        {Install(), "--show", "--ports", " COM3 ,/dev/ttyUSB2", "cp=COM9"}, dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0) << child.err;
    EXPECT_NE(child.out.find("port=COM9\n"), std::string::npos);
    EXPECT_NE(child.out.find("\nports=COM3,/dev/ttyUSB2\n"), std::string::npos) << child.out;
    const std::string ini = SettingsText();
    EXPECT_NE(ini.find("Port=COM9"), std::string::npos);
    EXPECT_EQ(ini.find("ttyUSB2"), std::string::npos);
}

// The open-file limit as a shell sets it for the program: a soft limit
// below what the boards need is raised up to the hard one; a hard limit
// below it refuses the list before anything is stored or started.
TEST_F(GangTest, OpenFileLimitIsRaisedOrTheListRefusedUpFront) {
    const auto ports = StartSims(std::vector<std::vector<std::string>>(8));
    const auto chunks = Records(0, 8, 16);
    WriteImage("board.hex", HexText(chunks));
    const std::string cli = Install();
    auto underLimits = [&](const std::string& limits) {
        return RunProgram({"/bin/sh", "-c", limits + " && exec \"$0\" \"$@\"", cli, "--ports",
                           FormatPortList(ports), "af=" + image_, "cb=230400", "fv=y"},
                          dir_.string());
    };
    // 8 boards need 8 x 3 + 16 = 40.
    const Child raised = underLimits("ulimit -S -n 20 && ulimit -H -n 64");
    ASSERT_TRUE(WIFEXITED(raised.status));
    EXPECT_EQ(WEXITSTATUS(raised.status), 0) << raised.out << raised.err;
    for (std::size_t i = 0; i < ports.size(); ++i) EXPECT_EQ(FlashOf(i, 128), Bytes(chunks));

    std::filesystem::remove(dir_ / "bin" / "talvex.ini");
    const Child refused = underLimits("ulimit -S -n 30 && ulimit -H -n 30");
    ASSERT_TRUE(WIFEXITED(refused.status));
    EXPECT_EQ(WEXITSTATUS(refused.status), 64);
    EXPECT_EQ(refused.err,
              "talvex-cli: --ports: 8 ports need up to 40 open files at once, and this process "
              "may open only 30 (ulimit -n); no board was started\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "bin" / "talvex.ini"));
}

TEST_F(GangTest, ProgressLineAndPrefixesInProcess) {
    const auto ports = StartSims({{}, {"--write-us-per-byte", "1000"}});
    WriteImage("board.hex", HexText(Records(0, 64, 16)));
    StartupResult startup;
    startup.settings = MakeSettings();
    startup.settings.partDbPath = partDb_;
    startup.partDbPresent = true;
    // The settings file holds the run's switches; the port comes from the list.
    std::ofstream(startup.settings.settingsPath)
        << "[TalVex]\nFile=" << image_ << "\n[Coms]\nPort=COM1\nBaud=230400\n"
        << "[Flash]\nMassErase=No\nProgram=Yes\nVerify=No\n";
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    GangOutput output;
    output.out = out;
    output.err = err;
    output.progress = true;
    output.columns = 200;
    std::atomic<bool> stop{false};
    int code = -1;
    std::vector<GangBoard> boards;
    {
        GangRun gang(startup, ports, output);
        EXPECT_EQ(gang.CurrentSettings().baud, "230400");
        code = gang.Run(stop);
        boards = gang.Boards();
    }
    auto read = [](std::FILE* f) {
        std::rewind(f);
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            text.append(buffer, n);
        std::fclose(f);
        return text;
    };
    const std::string outText = read(out);
    const std::string errText = read(err);
    EXPECT_EQ(code, 0) << outText << errText;
    ASSERT_EQ(boards.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(boards[i].port, ports[i]);
        EXPECT_EQ(boards[i].identification, extraSims_[i]->IdentificationText());
        EXPECT_EQ(boards[i].Code(), 0);
        EXPECT_GT(boards[i].seconds, 0.0);
        EXPECT_NE(outText.find("[" + ports[i] + "] Downloading ... 1024 bytes\n"),
                  std::string::npos);
    }
    // The slow board is still writing while the quick one is done.
    EXPECT_LT(boards[0].seconds, boards[1].seconds);
    EXPECT_TRUE(std::regex_search(errText, std::regex("\r1/2 done  \\S+ W [0-9]+%\033\\[K")))
        << errText;
    EXPECT_EQ(outText.find('\033'), std::string::npos) << "the progress line stays on stderr";
    // The line is taken away before the table, and nothing draws it again.
    EXPECT_EQ(errText.substr(errText.size() - 4), "\r\033[K");
}

struct ExitCase {
    std::vector<int> codes; // -1: stopped before a result
    bool interrupted;
    int expected;
};

TEST(GangExitCode, FirstFailedBoardInListOrderDecides) {
    const ExitCase cases[] = {
        {{0, 0, 0}, false, 0}, {{0, 7, 4}, false, 7},  {{4, 7, 0}, false, 4},
        {{0, 0, 9}, false, 9}, {{0, 0, 0}, true, 130}, {{0, -1, 7}, false, 130},
        {{6}, false, 6},
    };
    for (const ExitCase& c : cases) {
        std::vector<GangBoard> boards;
        for (int code : c.codes) {
            GangBoard board;
            if (code >= 0) board.result = static_cast<ExitCode>(code);
            boards.push_back(board);
        }
        EXPECT_EQ(GangExitCode(boards, c.interrupted), c.expected)
            << ::testing::PrintToString(c.codes);
    }
}

TEST(GangPortList, SplitsTrimsAndRefusesWhatCannotBeMeant) {
    struct Case {
        const char* text;
        std::vector<std::string> ports; // empty: refused
    };
    const Case cases[] = {
        {"COM3,COM4,/dev/ttyUSB2", {"COM3", "COM4", "/dev/ttyUSB2"}},
        {" COM3 , COM4", {"COM3", "COM4"}},
        {"COM3", {"COM3"}},
        {"", {}},
        {"  ", {}},
        {"COM3,", {}},
        {",COM3", {}},
        {"COM3,COM4,COM3", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> ports;
        std::string error;
        const bool ok = ParsePortList(c.text, ports, error);
        EXPECT_EQ(ok, !c.ports.empty()) << c.text;
        if (ok) {
            EXPECT_EQ(ports, c.ports);
        } else {
            EXPECT_NE(error.find("--ports"), std::string::npos) << error;
        }
    }
}

TEST(GangPortList, FlagTakesTheNextWordOrItsOwnValue) {
    const char* words[] = {"talvex-cli",   "--ports", "COM3,COM4",
                           "--ports=COM5", "--show",  "--ports"};
    char** argv = const_cast<char**>(words);
    int i = 1;
    EXPECT_EQ(TakePortsFlag(6, argv, i), std::optional<std::string>("COM3,COM4"));
    EXPECT_EQ(i, 2);
    i = 3;
    EXPECT_EQ(TakePortsFlag(6, argv, i), std::optional<std::string>("COM5"));
    i = 4;
    EXPECT_EQ(TakePortsFlag(6, argv, i), std::nullopt);
    i = 5;
    EXPECT_EQ(TakePortsFlag(6, argv, i), std::optional<std::string>(""));
}

TEST(GangProgress, CellsByNameThenByNumberThenCounted) {
    std::vector<GangCell> cells(4);
    const char* labels[] = {"COM3", "COM4", "/dev/ttyUSB2", "COM6"};
    for (std::size_t i = 0; i < 4; ++i) cells[i].label = labels[i];
    cells[0].ended = true;
    cells[1] = {"COM4", 'W', 420, 1000, false, false};
    cells[2] = {"/dev/ttyUSB2", 'V', 0, 0, false, false};
    cells[3].ended = cells[3].failed = true;
    EXPECT_EQ(GangProgressText(cells, 80), "2/4 done, 1 failed  COM4 W 42%  /dev/ttyUSB2 V 100%");
    EXPECT_EQ(GangProgressText(cells, 45), "2/4 done, 1 failed  #2 W 42%  #3 V 100%");

    std::vector<GangCell> many(10);
    for (std::size_t i = 0; i < many.size(); ++i) many[i].label = "/dev/ttyUSB" + std::to_string(i);
    many[4].phase = 'E';
    many[4].range = 4;
    many[4].position = 1;
    const std::string line = GangProgressText(many, 40);
    EXPECT_EQ(line, "0/10 done  #1 --  #2 --  #3 --  +7");
    EXPECT_LE(GangProgressText(many, 20).size(), 19u);
}

TEST(GangTable, ColumnsLineUpAndCellsStayCells) {
    GangBoard good{"COM3", "ZaRQ4126 BOOT rJ.2", ExitCode::Success, 18.24};
    GangBoard odd{"/dev/ttyUSB12", "ZaRQ|4\n", ExitCode::Verify, 3.0};
    GangBoard none{"COM9", "", std::nullopt, 0.5};
    EXPECT_EQ(GangTable({good, odd, none}),
              "| Port          | Identification     | Code | Meaning     | Time   |\n"
              "|---------------|--------------------|------|-------------|--------|\n"
              "| COM3          | ZaRQ4126 BOOT rJ.2 |    0 | success     | 18.2 s |\n"
              "| /dev/ttyUSB12 | ZaRQ\\x7c4\\n        |    8 | verify      |  3.0 s |\n"
              "| COM9          | -                  |  130 | interrupted |  0.5 s |\n");
}

TEST(GangTable, SerialColumnShowsEachBoardsNumberAndADashForNone) {
    GangBoard stamped{"COM3", "ZaRQ4126 BOOT rJ.2", ExitCode::Verify, 4.24};
    GangBoard unstamped{"COM4", "ZaRQ4126 BOOT rJ.2", ExitCode::WrongPart, 1.0};
    const GangSerials serials = {1234567, std::nullopt};
    EXPECT_EQ(GangTable({stamped, unstamped}, &serials),
              "| Port | Identification     | Serial  | Code | Meaning                 | Time  |\n"
              "|------|--------------------|---------|------|-------------------------|-------|\n"
              "| COM3 | ZaRQ4126 BOOT rJ.2 | 1234567 |    8 | verify                  | 4.2 s |\n"
              "| COM4 | ZaRQ4126 BOOT rJ.2 |       - |    6 | wrong part on the board | 1.0 s |\n");
}

} // namespace
} // namespace talvex::testing
