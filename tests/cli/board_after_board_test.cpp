// talvex-cli --boards: board after board on one port without restarting, as
// a production fixture runs, against an emulated target that plays several
// boards in a row. Every board must be flashed and counted on its own; a bad
// board must not end the line, a lost port or Ctrl+C must.

#include <regex>

#include "board_loop.h"
#include "cli_fixture.h"
#include "gang.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

class BoardAfterBoardTest : public CliTest {
protected:
    // The emulated fixture: boards after short swaps, each with its own dump.
    std::vector<std::string> BoardArgs(const std::string& boards, const std::string& dumpName,
                                       std::vector<std::string> more = {}) {
        std::vector<std::string> args = {
            "--boards",        boards, "--board-pause-ms", "100",
            "--board-idle-ms", "300",  "--dump",           (dir_ / dumpName).string()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    std::vector<std::string> CliArgs(const std::string& boards, std::vector<std::string> more) {
        std::vector<std::string> args = {Install(), "--boards", boards};
        args.insert(args.end(), more.begin(), more.end());
        for (const char* option : {"cb=230400", "fe=n", "fp=y", "fv=y", "rr=y", "rf=0"})
            args.emplace_back(option);
        return args;
    }

    std::vector<std::uint8_t> Dump(const std::string& name) const {
        const std::string text = FileText(dir_ / name);
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }

    static std::vector<std::uint8_t> Bytes(const std::vector<Chunk>& chunks) {
        std::vector<std::uint8_t> bytes;
        for (const Chunk& chunk : chunks)
            bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
        return bytes;
    }

    static std::vector<std::string> SummaryLines(const std::string& out) {
        static const std::regex summary(R"((\[[^\]]*\] )?Board [0-9]+: [^\n]*)");
        std::vector<std::string> lines;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), summary);
             it != std::sregex_iterator(); ++it)
            lines.push_back(it->str());
        return lines;
    }
};

// "Board 2: ZaRQ4126 passed in 0.3 s (2 passed, 0 failed)", time left open.
::testing::AssertionResult Summary(const std::string& line, const std::string& head,
                                   const std::string& tail, bool timed = true) {
    const std::string pattern = timed ? R"( in [0-9]+\.[0-9] s )" : " ";
    const std::regex expected(std::regex_replace(head, std::regex(R"([()\[\]/.])"), R"(\$&)") +
                              pattern +
                              std::regex_replace(tail, std::regex(R"([()\[\]/.])"), R"(\$&)"));
    if (std::regex_match(line, expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << line << "\" is not " << head << " ... " << tail;
}

TEST_F(BoardAfterBoardTest, ThreeBoardsInARowEachFlashedRecordedAndSummed) {
    zarq::Simulator& sim = StartSim(BoardArgs("3", "board-%n.bin"));
    const auto chunks = Records(0, 24, 16);
    WriteImage("board.hex", HexText(chunks));
    const auto records = dir_ / "line.jsonl";
    const Child child = RunProgram(
        CliArgs("3", {"--record", records.string(), "af=" + image_, "cp=" + sim.DevicePath()}),
        dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    ASSERT_EQ(WEXITSTATUS(child.status), 0) << child.out << child.err;
    EXPECT_EQ(child.err, "");
    const auto lines = SummaryLines(child.out);
    ASSERT_EQ(lines.size(), 3u) << child.out;
    EXPECT_TRUE(Summary(lines[0], "Board 1: ZaRQ4126 passed", "(1 passed, 0 failed)"));
    EXPECT_TRUE(Summary(lines[1], "Board 2: ZaRQ4126 passed", "(2 passed, 0 failed)"));
    EXPECT_TRUE(Summary(lines[2], "Board 3: ZaRQ4126 passed", "(3 passed, 0 failed)"));
    // Each board has its own status lines and record line.
    std::size_t completions = 0;
    for (std::size_t at = 0; (at = child.out.find("Flashing Complete.\n", at)) != std::string::npos;
         ++at)
        ++completions;
    EXPECT_EQ(completions, 3u);
    EXPECT_EQ(FileLines(records).size(), 3u);
    sim.Stop();
    for (const char* dump : {"board-1.bin", "board-2.bin", "board-3.bin"}) {
        SCOPED_TRACE(dump);
        const auto flash = Dump(dump);
        ASSERT_GE(flash.size(), 384u);
        EXPECT_EQ(std::vector<std::uint8_t>(flash.begin(), flash.begin() + 384), Bytes(chunks));
    }
}

TEST_F(BoardAfterBoardTest, FailingBoardInTheMiddleDecidesTheCodeAndTheLineGoesOn) {
    zarq::Simulator& sim = StartSim(BoardArgs("3", "b%n.bin", {"--board-part", "2=ZaRQ4124"}));
    const auto chunks = Records(0, 8, 16);
    WriteImage("board.hex", HexText(chunks));
    const Child child =
        RunProgram(CliArgs("3", {"af=" + image_, "cp=" + sim.DevicePath()}), dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 6) << child.out << child.err;
    const auto lines = SummaryLines(child.out);
    ASSERT_EQ(lines.size(), 3u) << child.out;
    EXPECT_TRUE(Summary(lines[0], "Board 1: ZaRQ4126 passed", "(1 passed, 0 failed)"));
    EXPECT_TRUE(Summary(lines[1], "Board 2: ZaRQ4124 failed with code 6 (wrong part on the board)",
                        "(1 passed, 1 failed)", false));
    EXPECT_TRUE(Summary(lines[2], "Board 3: ZaRQ4126 passed", "(2 passed, 1 failed)"));
    sim.Stop();
    for (const char* flashed : {"b1.bin", "b3.bin"}) {
        SCOPED_TRACE(flashed);
        const auto flash = Dump(flashed);
        ASSERT_GE(flash.size(), 128u);
        EXPECT_EQ(std::vector<std::uint8_t>(flash.begin(), flash.begin() + 128), Bytes(chunks));
    }
    // The wrong part was never touched.
    EXPECT_EQ(Dump("b2.bin"), std::vector<std::uint8_t>(0x10000, 0xFF));
}

TEST_F(BoardAfterBoardTest, GangLoopsOnEveryPortOnItsOwn) {
    zarq::Simulator& first = StartSim(BoardArgs("2", "a%n.bin"));
    zarq::Simulator& second = StartExtraSim(BoardArgs("2", "b%n.bin"));
    const auto chunks = Records(0, 8, 16);
    WriteImage("board.hex", HexText(chunks));
    const std::vector<std::string> ports = {first.DevicePath(), second.DevicePath()};
    const Child child =
        RunProgram(CliArgs("2", {"--ports", FormatPortList(ports), "af=" + image_}), dir_.string());
    ASSERT_TRUE(WIFEXITED(child.status));
    ASSERT_EQ(WEXITSTATUS(child.status), 0) << child.out << child.err;
    for (const std::string& port : ports) {
        SCOPED_TRACE(port);
        std::vector<std::string> own;
        for (const std::string& line : SummaryLines(child.out))
            if (line.rfind("[" + port + "] ", 0) == 0) own.push_back(line.substr(port.size() + 3));
        ASSERT_EQ(own.size(), 2u) << child.out;
        EXPECT_TRUE(Summary(own[0], "Board 1: ZaRQ4126 passed", "(1 passed, 0 failed)"));
        EXPECT_TRUE(Summary(own[1], "Board 2: ZaRQ4126 passed", "(2 passed, 0 failed)"));
    }
    EXPECT_NE(child.out.find("Gang: 4 boards on 2 ports, 4 passed, 0 failed; exit code 0.\n"),
              std::string::npos)
        << child.out;
    first.Stop();
    second.Stop();
    for (const char* dump : {"a1.bin", "a2.bin", "b1.bin", "b2.bin"}) {
        SCOPED_TRACE(dump);
        const auto flash = Dump(dump);
        ASSERT_GE(flash.size(), 128u);
        EXPECT_EQ(std::vector<std::uint8_t>(flash.begin(), flash.begin() + 128), Bytes(chunks));
    }
}

TEST_F(BoardAfterBoardTest, InterruptWhileWaitingForTheNextBoardEndsWith130AndFreesThePort) {
    // One board only comes; the station then waits for the next.
    zarq::Simulator& sim = StartSim(BoardArgs("1", "one.bin"));
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    const auto started = std::chrono::steady_clock::now();
    const Child child =
        RunProgram(CliArgs("0", {"af=" + image_, "cp=" + sim.DevicePath()}), dir_.string(), 2500ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 130) << child.out << child.err;
    const auto lines = SummaryLines(child.out);
    ASSERT_EQ(lines.size(), 1u) << child.out;
    EXPECT_TRUE(Summary(lines[0], "Board 1: ZaRQ4126 passed", "(1 passed, 0 failed)"));
    EXPECT_NE(child.err.find("Interrupted; the port is closed"), std::string::npos) << child.err;
    CSerialPort again;
    EXPECT_TRUE(again.Open(sim.DevicePath(), "9600"));
}

TEST_F(BoardAfterBoardTest, IdentificationLimitBoundsTheWaitForEachNextBoard) {
    // The first board comes at once; no second one ever does.
    zarq::Simulator& sim = StartSim(BoardArgs("1", "one.bin"));
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    const auto started = std::chrono::steady_clock::now();
    const Child child =
        RunProgram(CliArgs("0", {"--id-timeout", "1", "af=" + image_, "cp=" + sim.DevicePath()}),
                   dir_.string());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 4) << child.out << child.err;
    const auto lines = SummaryLines(child.out);
    ASSERT_EQ(lines.size(), 1u) << child.out;
    EXPECT_TRUE(Summary(lines[0], "Board 1: ZaRQ4126 passed", "(1 passed, 0 failed)"));
    EXPECT_NE(
        child.err.find("No identification from the target on " + sim.DevicePath() + " within 1 s."),
        std::string::npos)
        << child.err;
}

TEST_F(BoardAfterBoardTest, LostPortEndsTheLineWithTheCodeOfASingleRun) {
    // The line goes, as an unplugged cable would, after the first board's
    // third write: its fourth fails, and no board can follow.
    zarq::Simulator& sim = StartSim(BoardArgs("3", "h%n.bin", {"--hangup-after", "4"}));
    WriteImage("board.hex", HexText(Records(0, 8, 16)));
    const auto started = std::chrono::steady_clock::now();
    const Child child =
        RunProgram(CliArgs("0", {"af=" + image_, "cp=" + sim.DevicePath()}), dir_.string());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 7) << child.out << child.err;
    const auto lines = SummaryLines(child.out);
    ASSERT_EQ(lines.size(), 1u) << child.out;
    EXPECT_TRUE(
        Summary(lines[0], "Board 1: ZaRQ4126 failed with code 7 (write)", "(0 passed, 1 failed)"));
}

TEST(BoardSummary, SaysWhoPassedOrFailedWithTheRunningCounts) {
    struct Case {
        BoardOutcome board;
        BoardTally tally;
        const char* expected;
    };
    BoardOutcome passed{17, "ZaRQ4126 BOOT rJ.2", ExitCode::Success, 4.24, std::nullopt};
    BoardOutcome stamped = passed;
    stamped.serial = 1234;
    BoardOutcome wrong{3, "ZaRQ4124 BOOT rJ.2", ExitCode::WrongPart, std::nullopt, std::nullopt};
    BoardOutcome garbled{2, "ZaRQ4\x01", ExitCode::Verify, 0.05, std::nullopt};
    const Case cases[] = {
        {passed,
         {17, 16, 1, ExitCode::Verify},
         "Board 17: ZaRQ4126 passed in 4.2 s (16 passed, 1 failed)"},
        {stamped,
         {17, 16, 1, ExitCode::Verify},
         "Board 17: ZaRQ4126 serial 1234 passed in 4.2 s (16 passed, 1 failed)"},
        {wrong,
         {3, 2, 1, ExitCode::WrongPart},
         "Board 3: ZaRQ4124 failed with code 6 (wrong part on the board) (2 passed, 1 failed)"},
        {garbled,
         {2, 0, 2, ExitCode::Verify},
         "Board 2: ZaRQ4\\x01 failed with code 8 (verify) in 0.1 s (0 passed, 2 failed)"},
    };
    for (const Case& c : cases) EXPECT_EQ(BoardSummaryLine(c.board, c.tally), c.expected);
}

TEST(BoardSummary, TallyKeepsTheFirstFailure) {
    BoardTally tally;
    EXPECT_EQ(tally.Code(), 0);
    for (ExitCode code :
         {ExitCode::Success, ExitCode::Verify, ExitCode::Success, ExitCode::WrongPart})
        tally.Add(code);
    EXPECT_EQ(tally.boards, 4);
    EXPECT_EQ(tally.passed, 2);
    EXPECT_EQ(tally.failed, 2);
    EXPECT_EQ(tally.Code(), 8);
}

TEST(BoardCount, TakesWholeNumbersOnly) {
    const std::pair<const char*, int> good[] = {
        {"0", 0}, {"1", 1}, {"25", 25}, {"1000000", 1000000}};
    for (const auto& [text, value] : good) {
        int boards = -1;
        EXPECT_TRUE(ParseBoardCount(text, boards)) << text;
        EXPECT_EQ(boards, value);
    }
    for (const char* text : {"", "-1", "+3", "2.5", "x", "10000000", " 3"}) {
        int boards = -1;
        EXPECT_FALSE(ParseBoardCount(text, boards)) << text;
    }
}

} // namespace
} // namespace talvex::testing
