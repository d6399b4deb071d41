// Command-line options and fault selectors.

#include "zarq_sim.h"

#include <gtest/gtest.h>

namespace {

TEST(SimOptions, ParsesEveryOptionIntoItsField) {
    zarq::SimOptions o;
    std::string error;
    ASSERT_TRUE(zarq::ParseSimArgs({"--link",
                                    "/tmp/ttyZARQ",
                                    "--part=ZaRQ4127",
                                    "--partdb",
                                    "p.ini",
                                    "--flash-size",
                                    "0x20000",
                                    "--kernel-start",
                                    "0x9F800",
                                    "--flash-fill",
                                    "0xA5",
                                    "--flash-init=old.bin",
                                    "--id",
                                    "ZaRQ4127 X",
                                    "--old-revision",
                                    "--never-announce",
                                    "--noise",
                                    "hello",
                                    "--nak",
                                    "W@10",
                                    "--nak",
                                    "12",
                                    "--silent",
                                    "E",
                                    "--garbage-ack",
                                    "V@1-2",
                                    "--ack-after",
                                    "34:E@1",
                                    "--ack-after",
                                    "2",
                                    "--hangup-after",
                                    "7",
                                    "--baud",
                                    "9600",
                                    "--erase-ms",
                                    "2.5",
                                    "--write-us-per-byte",
                                    "10",
                                    "--turnaround-ms",
                                    "1",
                                    "--exit-after-run",
                                    "--timeout",
                                    "30",
                                    "--log",
                                    "l.jsonl",
                                    "--dump",
                                    "d.bin"},
                                   o, error))
        << error;
    EXPECT_EQ(o.link, "/tmp/ttyZARQ");
    EXPECT_EQ(o.part, "ZaRQ4127");
    EXPECT_TRUE(o.partGiven);
    EXPECT_EQ(o.partDbPath, "p.ini");
    EXPECT_EQ(o.flashSize, 0x20000u);
    EXPECT_EQ(o.kernelStart, 0x9F800u);
    EXPECT_EQ(o.flashFill, std::optional<std::uint8_t>(0xA5));
    EXPECT_EQ(o.flashInit, "old.bin");
    EXPECT_EQ(o.idText, "ZaRQ4127 X");
    EXPECT_TRUE(o.oldRevision && o.neverAnnounce && o.exitAfterRun);
    EXPECT_EQ(o.noise, "hello");
    EXPECT_EQ(o.nak.items.size(), 2u);
    ASSERT_EQ(o.ackAfter.size(), 2u);
    EXPECT_EQ(o.ackAfter[0].failures, 34u);
    EXPECT_TRUE(o.ackAfter[1].selector.Matches(99, 'R', 3)) << "no selector: every command";
    EXPECT_EQ(o.hangupAfter, 7u);
    EXPECT_EQ(o.baud, 9600u);
    EXPECT_DOUBLE_EQ(o.eraseMs, 2.5);
    EXPECT_DOUBLE_EQ(o.writeUsPerByte, 10);
    EXPECT_DOUBLE_EQ(o.turnaroundMs, 1);
    EXPECT_DOUBLE_EQ(o.timeoutS, 30);
    EXPECT_EQ(o.logPath, "l.jsonl");
    EXPECT_EQ(o.dumpPath, "d.bin");
    EXPECT_FALSE(o.showHelp);
}

TEST(SimOptions, RejectsBadArgumentsWithAMessageNamingThem) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--baud"}, "--baud needs a value"},
        {{"--baud", "96OO"}, "--baud: '96OO'"},
        {{"--baud", "0"}, "--baud: '0'"},
        {{"--baud", "-9600"}, "--baud: '-9600'"},
        {{"--exit-after-run=yes"}, "--exit-after-run takes no value"},
        {{"--nak", "W@0"}, "'W@0' is not a selector item"},
        {{"--nak", "X@1"}, "'X@1': the command letter must be one of"},
        {{"--nak", "5-3"}, "'5-3' is not a selector item"},
        {{"--nak", "W,,V"}, "'' is not a selector item"},
        {{"--nak", "W1"}, "'W1' is not a selector item"},
        {{"--silent", ""}, "--silent: empty selector"},
        {{"--ack-after", "x:E"}, "--ack-after: 'x:E'"},
        {{"--ack-after", "3:Q"}, "--ack-after: 'Q': the command letter"},
        {{"--hangup-after", "-1"}, "--hangup-after: '-1'"},
        {{"--erase-ms", "fast"}, "--erase-ms: 'fast' is not a number"},
        {{"--turnaround-ms", "-2"}, "--turnaround-ms: '-2'"},
        {{"--timeout", "0"}, "--timeout: '0'"},
        {{"--part", "ZaRQ41260"}, "--part: 'ZaRQ41260': a part name has 1 to 8 characters"},
        {{"--flash-size", "0x"}, "--flash-size: '0x'"},
        {{"--flash-size", "0x2000000"}, "--flash-size: '0x2000000'"},
        {{"--kernel-start", "0x7FFFF"}, "--kernel-start: '0x7FFFF'"},
        {{"--flash-size", "0x1000", "--kernel-start", "0x90000"}, "beyond the end of flash"},
        {{"--flash-fill", "256"}, "--flash-fill: '256' is not a byte value from 0 to 255"},
        {{"--flash-fill", "-1"}, "--flash-fill: '-1' is not a byte value"},
        {{"--flash-fill", "0x"}, "--flash-fill: '0x' is not a byte value"},
        {{"--flash-fill", "FF"}, "--flash-fill: 'FF' is not a byte value"},
        {{"--flash-init", ""}, "--flash-init: the flash image path must not be empty"},
        {{"--flash-init"}, "--flash-init needs a value"},
        {{"--id", ""}, "--id: the identification text must have 1 to 250 characters"},
        {{"--log", ""}, "--log: the log file path must not be empty"},
        {{"--answer-delay-ms", "-1"}, "--answer-delay-ms: '-1' is not a number"},
        {{"--jitter-ms", "lots"}, "--jitter-ms: 'lots' is not a number"},
        {{"--seed", "-3"}, "--seed: '-3' is not a seed"},
        {{"--seed", "0x"}, "--seed: '0x' is not a seed"},
        {{"--late-answer", "W@5"}, "--late-answer: 'W@5': expected SELECTOR:MS"},
        {{"--late-answer", "W@5:"}, "--late-answer: 'W@5:': expected SELECTOR:MS"},
        {{"--late-answer", "W@5:-2"}, "--late-answer: 'W@5:-2': expected SELECTOR:MS"},
        {{"--late-answer", "W@5:1e10"}, "--late-answer: 'W@5:1e10'"},
        {{"--late-answer", "W@0:5"}, "--late-answer: 'W@0' is not a selector item"},
        {{"--late-repeat", "W@5:3"}, "--late-repeat: 'W@5:3': expected SELECTOR:+MS"},
        {{"--late-repeat", "W@5:+-3"}, "--late-repeat: 'W@5:+-3': expected SELECTOR:+MS"},
        {{"--late-repeat", "W@5:++3"}, "--late-repeat: 'W@5:++3': expected SELECTOR:+MS"},
        {{"--late-repeat", "Q@5:+3"}, "--late-repeat: 'Q@5': the command letter"},
        {{"--double-answer", "W:fast"}, "--double-answer: 'W:fast': expected SELECTOR"},
        {{"--double-answer", ":5"}, "--double-answer: empty selector"},
    };
    for (const Case& c : cases) {
        zarq::SimOptions o;
        std::string error;
        EXPECT_FALSE(zarq::ParseSimArgs(c.args, o, error)) << ::testing::PrintToString(c.args);
        EXPECT_NE(error.find(c.message), std::string::npos)
            << ::testing::PrintToString(c.args) << " gave: " << error;
    }
}

TEST(SimOptions, ParsesTheAnswerTimingOptions) {
    zarq::SimOptions o;
    std::string error;
    ASSERT_TRUE(
        zarq::ParseSimArgs({"--answer-delay-ms", "2.5", "--jitter-ms", "4", "--seed", "0x2A",
                            "--late-answer", "W@5:12", "--late-repeat=W@5:+3", "--late-repeat",
                            "E,V@2:+0.5", "--double-answer", "*", "--double-answer", "V@2:7"},
                           o, error))
        << error;
    EXPECT_DOUBLE_EQ(o.answerDelayMs, 2.5);
    EXPECT_DOUBLE_EQ(o.jitterMs, 4);
    EXPECT_EQ(o.seed, 42u);
    ASSERT_EQ(o.lateAnswer.size(), 1u);
    EXPECT_DOUBLE_EQ(o.lateAnswer[0].ms, 12);
    EXPECT_TRUE(o.lateAnswer[0].selector.Matches(9, 'W', 5));
    EXPECT_FALSE(o.lateAnswer[0].selector.Matches(5, 'W', 4));
    ASSERT_EQ(o.lateRepeat.size(), 2u);
    EXPECT_DOUBLE_EQ(o.lateRepeat[0].ms, 3);
    EXPECT_DOUBLE_EQ(o.lateRepeat[1].ms, 0.5);
    EXPECT_TRUE(o.lateRepeat[1].selector.Matches(1, 'E', 1));
    EXPECT_TRUE(o.lateRepeat[1].selector.Matches(7, 'V', 2));
    ASSERT_EQ(o.doubleAnswer.size(), 2u);
    EXPECT_DOUBLE_EQ(o.doubleAnswer[0].ms, 1) << "the gap when none is given";
    EXPECT_TRUE(o.doubleAnswer[0].selector.Matches(3, 'R', 1));
    EXPECT_DOUBLE_EQ(o.doubleAnswer[1].ms, 7);

    zarq::SimOptions plain;
    ASSERT_TRUE(zarq::ParseSimArgs({}, plain, error)) << error;
    EXPECT_FALSE(plain.flashFill.has_value()) << "erased flash unless asked";
    EXPECT_TRUE(plain.flashInit.empty());
    EXPECT_FALSE(plain.seed.has_value()) << "taken from the clock unless given";
    EXPECT_EQ(plain.answerDelayMs + plain.jitterMs, 0);
    EXPECT_TRUE(plain.lateAnswer.empty() && plain.lateRepeat.empty() && plain.doubleAnswer.empty());
}

TEST(SimOptions, SelectorsMatchByNumberLetterAndRange) {
    struct Probe {
        std::uint64_t command;
        char letter;
        std::uint64_t ofLetter;
        bool match;
    };
    struct Case {
        const char* selector;
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        {"*", {{1, 'E', 1, true}, {500, 'R', 2, true}}},
        {"12", {{12, 'W', 3, true}, {11, 'W', 12, false}, {13, 'V', 1, false}}},
        {"5-8", {{4, 'W', 1, false}, {5, 'W', 2, true}, {8, 'V', 1, true}, {9, 'V', 2, false}}},
        {"E", {{1, 'E', 1, true}, {7, 'E', 2, true}, {2, 'W', 1, false}}},
        {"w@10", {{20, 'W', 10, true}, {10, 'W', 9, false}, {10, 'V', 10, false}}},
        {"V@2-3,1",
         {{1, 'E', 1, true}, {9, 'V', 2, true}, {10, 'V', 3, true}, {11, 'V', 4, false}}},
    };
    for (const Case& c : cases) {
        zarq::FaultSelector s;
        std::string error;
        ASSERT_TRUE(zarq::ParseSelector(c.selector, s, error)) << c.selector << ": " << error;
        for (const Probe& p : c.probes)
            EXPECT_EQ(s.Matches(p.command, p.letter, p.ofLetter), p.match)
                << c.selector << " on command " << p.command << " " << p.letter << "@"
                << p.ofLetter;
    }
}

TEST(SimOptions, HelpDocumentsTheSelectorSyntax) {
    zarq::SimOptions o;
    std::string error;
    ASSERT_TRUE(zarq::ParseSimArgs({"--help"}, o, error));
    EXPECT_TRUE(o.showHelp);
    const std::string help = zarq::SimHelpText();
    for (const char* text :
         {"--nak", "--silent", "--garbage-ack", "--ack-after", "--hangup-after", "L@N", "--link",
          "--exit-after-run", "--dump", "--log", "--answer-delay-ms", "--jitter-ms", "--seed",
          "--late-answer SEL:MS", "--late-repeat SEL:+MS", "--double-answer SEL[:MS]",
          "--flash-fill BYTE", "--flash-init FILE"})
        EXPECT_NE(help.find(text), std::string::npos) << text;
}

} // namespace
