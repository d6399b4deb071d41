// The flash model (AND writes, erases, the kernel limit, verify), the
// protection record, the part database, and the dump and log files.

#include "sim_host.h"

#include <fstream>
#include <iterator>
#include <sstream>

using namespace simtest;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(SimFlash, WritesAndIntoCellsAndEraseRestoresThem) {
    SimRun run({});
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x300, {0xF0, 0x0F})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('W', 0x300, {0x3C, 0xFF})), kAck);
    auto flash = run.sim->Flash();
    EXPECT_EQ(flash[0x300], 0x30);
    EXPECT_EQ(flash[0x301], 0x0F);
    // Writing 1 bits back is not possible without an erase: verify of the
    // intended bytes fails, the bytes flash really holds pass.
    EXPECT_EQ(run.host->Exchange(VerifyFrame(0x300, {0x3C, 0xFF})), kNak);
    EXPECT_EQ(run.host->Exchange(VerifyFrame(0x300, {0x30, 0x0F})), kAck);

    EXPECT_EQ(run.host->Exchange(Frame('W', 0x1FF, {0x00, 0x00})), kAck); // pages 0 and 1
    EXPECT_EQ(run.host->Exchange(Frame('E', 0x200, {1})), kAck);
    flash = run.sim->Flash();
    EXPECT_EQ(flash[0x1FF], 0x00) << "page 0 is left alone";
    EXPECT_EQ(flash[0x200], 0xFF);
    EXPECT_EQ(flash[0x300], 0xFF);
    EXPECT_EQ(run.host->Exchange(Frame('E', 0, {1})), kAck) << "value 0 with count 1 is page 0";
    EXPECT_EQ(run.sim->Flash()[0x1FF], 0xFF);
    EXPECT_EQ(run.sim->Stats().erasedPages, 2u);
    EXPECT_EQ(run.sim->Stats().massErases, 0u);
}

TEST(SimFlash, MassEraseClearsAllUserFlash) {
    SimRun run({});
    const std::uint32_t last = 0xF7FF;
    EXPECT_EQ(run.host->Exchange(Frame('W', 0, {0})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('W', last, {0})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('E', 0, {0})), kAck);
    const auto flash = run.sim->Flash();
    EXPECT_EQ(flash.size(), 0x10000u);
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(run.sim->Stats().massErases, 1u);
}

TEST(SimFlash, RefusesEverythingAtOrBeyondTheKernel) {
    struct Case {
        const char* name;
        Bytes frame;
        int answer;
    };
    const Case cases[] = {
        {"16 bytes ending at the kernel", Frame('W', 0xF7F0, Bytes(16, 0)), kAck},
        {"16 bytes one past the kernel start", Frame('W', 0xF7F1, Bytes(16, 0)), kNak},
        {"write at the kernel start", Frame('W', 0xF800, {0}), kNak},
        {"write beyond the end of flash", Frame('W', 0x10000, {0}), kNak},
        {"absolute address instead of offset", Frame('W', 0x80000, {0}), kNak},
        {"address that wraps 32 bits", Frame('W', 0xFFFFFFFF, {0, 0}), kNak},
        {"verify in the kernel", VerifyFrame(0xF800, {0xFF}), kNak},
        {"erase of the page holding the kernel", Frame('E', 0xF800, {1}), kNak},
        {"erase of two pages running into it", Frame('E', 0xF600, {2}), kNak},
        {"erase of the last user page", Frame('E', 0xF600, {1}), kAck},
        {"erase not on a page", Frame('E', 0x100, {1}), kNak},
        {"erase of no pages", Frame('E', 0x200, {0}), kNak},
        {"protect a unit given as an offset", Frame('P', 0x0, {0x0F}), kNak},
    };
    SimRun run({});
    EXPECT_EQ(run.host->Exchange(Frame('P', 0, {0x00})), kAck);
    for (const Case& c : cases) EXPECT_EQ(run.host->Exchange(c.frame), c.answer) << c.name;
    const auto flash = run.sim->Flash();
    EXPECT_EQ(flash[0xF7F0], 0xFF) << "erased again by the last-page erase";
    EXPECT_EQ(run.sim->KernelStart(), 0x8F800u);
}

TEST(SimFlash, TakesGeometryFromThePartDatabaseOrOptions) {
    const std::string db = TempPath("parts.ini");
    WriteFile(db,
              "; test parts\n[zarq9000]\nromstart=0x80000\nROMEnd=0x803FF\nKSTART = 0x80400\n"
              "KEnd=0x807FF\n[ZaRQ9001]\nKStart=80400\n[ZaRQ9002]\nROMEnd=0x803FF\n");
    struct Case {
        std::vector<std::string> args;
        std::string error; // empty: starts
        std::size_t size = 0;
        std::uint32_t kernel = 0;
    };
    const Case cases[] = {
        {{"--partdb", db, "--part", "ZaRQ9000"}, "", 0x800, 0x80400},
        {{"--partdb", db, "--part", "ZaRQ9000", "--kernel-start", "0x80600"}, "", 0x800, 0x80600},
        {{"--partdb", db, "--part", "ZaRQ9001"},
         "KStart=80400 is not a 0x hexadecimal number",
         0,
         0},
        {{"--partdb", db, "--part", "ZaRQ9002"}, "has no KStart", 0, 0},
        {{"--partdb", db, "--part", "ZaRQ4999"}, "ZaRQ4999 is not in the part database", 0, 0},
        {{"--partdb", db + ".missing"}, "cannot open the part database", 0, 0},
        {{"--partdb", db, "--part", "ZaRQ9000", "--kernel-start", "0x90000"},
         "outside the flash",
         0,
         0},
        {{"--partdb", db + ".missing", "--flash-size", "0x1000", "--kernel-start", "0x80800"},
         "",
         0x1000,
         0x80800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        zarq::SimOptions options;
        std::string error;
        ASSERT_TRUE(zarq::ParseSimArgs(c.args, options, error)) << error;
        zarq::Simulator sim(options);
        const bool started = sim.Start(error);
        if (!c.error.empty()) {
            EXPECT_FALSE(started);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(started) << error;
        EXPECT_EQ(sim.Flash().size(), c.size);
        EXPECT_EQ(sim.KernelStart(), c.kernel);
    }
    std::remove(db.c_str());
}

TEST(SimProtection, RecordsBeginUnitsAndKeyInOrder) {
    SimRun run({"--part", "ZaRQ4127"});
    EXPECT_EQ(run.host->Exchange(Frame('P', 0x80000, {0x0F})), kNak) << "unit before begin";
    EXPECT_EQ(run.host->Exchange(Frame('P', 0x12345678, {0x01})), kNak) << "key before begin";
    EXPECT_EQ(run.host->Exchange(Frame('P', 0, {0x00})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('P', 0x80000, {0x0F})), kAck);
    EXPECT_EQ(run.host->Exchange(Frame('P', 0x90000, {0x0F})), kAck);
    // The read-protection unit of a two-block part lies where the kernel
    // begins; past the end of the array there is no unit.
    EXPECT_EQ(run.host->Exchange(Frame('P', 0x9F800, {0x0F})), kAck) << "read-protection unit";
    EXPECT_EQ(run.host->Exchange(Frame('P', 0xA0000, {0x0F})), kNak) << "beyond the flash";
    EXPECT_EQ(run.host->Exchange(Frame('P', 0x80100, {0x0F})), kNak) << "not on a page";
    EXPECT_EQ(run.host->Exchange(Frame('P', 0xDEADBEEF, {0x01})), kAck);
    const zarq::ProtectionRecord p = run.sim->Stats().protection;
    EXPECT_EQ(p.begins, 1u);
    EXPECT_EQ(p.units, (std::vector<std::uint32_t>{0x80000, 0x90000, 0x9F800}));
    ASSERT_TRUE(p.key.has_value());
    EXPECT_EQ(*p.key, 0xDEADBEEFu);
}

TEST(SimRecord, DumpHoldsTheFlashImageAtTheEnd) {
    const std::string dump = TempPath("dump.bin");
    {
        SimRun run({"--dump", dump});
        EXPECT_EQ(run.host->Exchange(Frame('W', 0x100, {'a', 'b', 'c'})), kAck);
        std::string error;
        EXPECT_TRUE(run.sim->Stop(&error)) << error;
    }
    const std::string image = ReadFile(dump);
    ASSERT_EQ(image.size(), 0x10000u);
    EXPECT_EQ(image.substr(0x100, 3), "abc");
    EXPECT_EQ(static_cast<std::uint8_t>(image[0xFF]), 0xFF);
    EXPECT_EQ(static_cast<std::uint8_t>(image[0x103]), 0xFF);
    std::remove(dump.c_str());

    zarq::SimOptions options;
    std::string error;
    ASSERT_TRUE(zarq::ParseSimArgs(
        {"--partdb", TALVEX_TEST_PARTDB, "--dump", "/nonexistent-dir/x.bin"}, options, error));
    zarq::Simulator sim(options);
    ASSERT_TRUE(sim.Start(error)) << error;
    EXPECT_FALSE(sim.Stop(&error));
    EXPECT_NE(error.find("/nonexistent-dir/x.bin"), std::string::npos) << error;
}

TEST(SimRecord, LogHasOneLinePerFrameAndTextWithWireLengths) {
    const std::string log = TempPath("log.jsonl");
    {
        SimRun run({"--log", log, "--nak", "W@1"});
        EXPECT_EQ(run.host->Identify().substr(0, 8), "ZaRQ4126");
        const Bytes w = Frame('W', 0x100, {'a', 'b', 'c'});
        EXPECT_EQ(run.host->Exchange(w), kNak);
        EXPECT_EQ(run.host->Retry(w), kNak);
        Bytes bad = Frame('V', 0, {1});
        bad.back() ^= 0xFF;
        EXPECT_EQ(run.host->Exchange(bad), kNak);
        EXPECT_EQ(run.host->Exchange(Frame('R', 0)), kAck);
        run.host->Send(Frame('R', 0));
        EXPECT_EQ(run.host->Answer(200), kNone);
        run.sim->Stop();
    }
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 7u);
    auto has = [&](std::size_t i, const std::string& text) {
        EXPECT_NE(lines[i].find(text), std::string::npos)
            << "line " << i << ": " << lines[i] << "\n  lacks " << text;
    };
    has(0, "\"event\":\"identification\"");
    has(0, "\"text\":\"ZaRQ4126");
    has(0, "\"wire_bytes\":18");
    has(1,
        "\"index\":1,\"command\":1,\"try\":1,\"retry\":false,\"letter\":\"W\",\"value\":256,"
        "\"data\":\"616263\","
        "\"wire_bytes\":12,\"answer\":\"15\"");
    has(1, "\"note\":\"fault: nak\"");
    has(2, "\"event\":\"resync\",\"wire_bytes\":25,\"skipped\":0}");
    has(3, "\"index\":2,\"command\":1,\"try\":2,\"retry\":true");
    has(3, "\"skipped\":0");
    has(4, "\"command\":0");
    has(4, "\"note\":\"bad checksum\"");
    has(5, "\"letter\":\"R\",\"value\":0,\"data\":\"\",\"wire_bytes\":9,\"answer\":\"06\"");
    has(6, "\"answer\":null");
    has(6, "program running");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
        EXPECT_NE(line.find("\"t_us\":"), std::string::npos);
    }
    std::remove(log.c_str());
}

TEST(SimRecord, LogEscapesTextThatIsNotPlainJson) {
    zarq::LogEntry e;
    e.kind = zarq::LogEntry::Kind::Noise;
    e.note = std::string("a\"b\\c\x01\xff", 7);
    const std::string line = zarq::FormatLogLine(e);
    EXPECT_NE(line.find(R"("text":"a\"b\\c\u0001\u00ff")"), std::string::npos) << line;
}

} // namespace
