// Board after board on one line: each board leaves after its run command or
// when the host has finished with it, and the next comes with a fresh flash
// and its own identification after the swap pause.

#include "sim_host.h"

#include <fstream>
#include <iterator>

using namespace simtest;

namespace {

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Erases the first page and writes one byte there: a board that took the
// image.
void Program(TestHost& host, std::uint8_t value) {
    ASSERT_EQ(host.Exchange(Frame('E', 0, {1})), kAck);
    ASSERT_EQ(host.Exchange(Frame('W', 0, {value})), kAck);
}

// Wake bytes until an identification comes, as the host sends them while it
// waits for the next board.
std::string AwaitIdentification(TestHost& host, int timeoutMs) {
    const auto t0 = std::chrono::steady_clock::now();
    while (MsSince(t0) < timeoutMs) {
        const std::string id = host.Identify(100);
        if (!id.empty()) return id;
    }
    return {};
}

} // namespace

TEST(SimBoards, DumpPathNamesEachBoard) {
    struct Case {
        const char* pattern;
        std::uint64_t board;
        bool several;
        const char* expected;
    };
    const Case cases[] = {
        {"d-%n.bin", 3, true, "d-3.bin"},     {"d-%n.bin", 1, false, "d-1.bin"},
        {"%n/%n.bin", 12, true, "12/12.bin"}, {"d.bin", 2, true, "d.bin.2"},
        {"d.bin", 1, false, "d.bin"},         {"d%.bin", 4, true, "d%.bin.4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(zarq::BoardDumpPath(c.pattern, c.board, c.several), c.expected);
    }
}

TEST(SimBoards, RefusesBadBoardOptions) {
    const std::vector<std::vector<std::string>> bad = {
        {"--boards", "-1"},       {"--boards", "x"},          {"--board-pause-ms", "-5"},
        {"--board-idle-ms", "0"}, {"--board-part", "ZaRQ41"}, {"--board-part", "0=ZaRQ4124"},
        {"--board-part", "2="},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        zarq::SimOptions o;
        std::string error;
        EXPECT_FALSE(zarq::ParseSimArgs(args, o, error));
        EXPECT_NE(error.find(args[0]), std::string::npos) << error;
    }
}

TEST(SimBoards, EachBoardAfterItsRunIsFreshWithItsOwnDumpAndIdentification) {
    const std::string dump = TempPath("board-%n.bin");
    SimRun run(
        {"--boards", "3", "--board-pause-ms", "150", "--board-part", "2=ZaRQ4124", "--dump", dump});
    ASSERT_TRUE(run.started);
    TestHost& host = *run.host;

    ASSERT_EQ(host.Identify(1000).substr(0, 8), "ZaRQ4126");
    Program(host, 0x11);
    ASSERT_EQ(host.Exchange(Frame('R', 1)), kAck);
    // The swap: no board answers at once.
    EXPECT_EQ(host.Identify(50), "");
    const auto swapStart = std::chrono::steady_clock::now();
    const std::string second = AwaitIdentification(host, 3000);
    EXPECT_GE(MsSince(swapStart), 80);
    EXPECT_EQ(second.substr(0, 8), "ZaRQ4124");
    EXPECT_EQ(run.sim->BoardsEnded(), 1u);
    // The new board's flash is erased, whatever the first one took.
    EXPECT_EQ(run.sim->Flash()[0], 0xFF);
    Program(host, 0x22);
    ASSERT_EQ(host.Exchange(Frame('R', 0)), kAck);

    ASSERT_EQ(AwaitIdentification(host, 3000).substr(0, 8), "ZaRQ4126");
    Program(host, 0x33);
    ASSERT_EQ(host.Exchange(Frame('R', 0)), kAck);
    // The last board stays in the fixture: no fourth comes.
    EXPECT_EQ(AwaitIdentification(host, 400), "");
    EXPECT_EQ(run.sim->Board(), 3u);
    EXPECT_EQ(run.sim->BoardsEnded(), 2u);

    std::string error;
    ASSERT_TRUE(run.sim->Stop(&error)) << error;
    const std::uint8_t written[] = {0x11, 0x22, 0x33};
    for (int board = 1; board <= 3; ++board) {
        SCOPED_TRACE(board);
        const std::string path = zarq::BoardDumpPath(dump, static_cast<std::uint64_t>(board), true);
        const Bytes image = ReadFile(path);
        ASSERT_EQ(image.size(), 0x10000u);
        EXPECT_EQ(image[0], written[board - 1]);
        EXPECT_EQ(image[1], 0xFF);
        std::remove(path.c_str());
    }
    EXPECT_EQ(run.sim->BoardSummaries().size(), 2u);
}

TEST(SimBoards, ABoardLeftIdleAfterItsIdentificationMakesWayForTheNext) {
    // A host that turns a board down, or finishes without running it, goes
    // back to sending wake bytes; those are no frames, so the board leaves.
    SimRun run({"--boards", "0", "--board-pause-ms", "50", "--board-idle-ms", "200"});
    ASSERT_TRUE(run.started);
    TestHost& host = *run.host;
    ASSERT_FALSE(host.Identify(1000).empty());
    Program(host, 0x44);
    const auto idleStart = std::chrono::steady_clock::now();
    const std::string next = AwaitIdentification(host, 3000);
    EXPECT_EQ(next.substr(0, 8), "ZaRQ4126");
    EXPECT_GE(MsSince(idleStart), 200);
    EXPECT_EQ(run.sim->BoardsEnded(), 1u);
    EXPECT_EQ(run.sim->Flash()[0], 0xFF);
}

TEST(SimBoards, OneBoardByDefaultStaysAfterItsRun) {
    SimRun run({"--board-idle-ms", "50", "--board-pause-ms", "0"});
    ASSERT_TRUE(run.started);
    TestHost& host = *run.host;
    ASSERT_FALSE(host.Identify(1000).empty());
    Program(host, 0x55);
    ASSERT_EQ(host.Exchange(Frame('R', 0)), kAck);
    EXPECT_EQ(AwaitIdentification(host, 300), "");
    EXPECT_EQ(run.sim->Flash()[0], 0x55);
    EXPECT_EQ(run.sim->BoardsEnded(), 0u);
}
