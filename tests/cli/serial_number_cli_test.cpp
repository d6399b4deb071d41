// talvex-cli with [Serial]: a gang whose boards each take their own number
// from one counter and show it in the table, --show that reads the next
// number without taking it, and settings that cannot stamp refused before
// the port opens.

#include <regex>
#include <set>

#include "cli_fixture.h"

namespace talvex::testing {
namespace {

class SerialNumberCliTest : public CliTest {
protected:
    std::string Settings(const std::string& serialSection) {
        const auto path = dir_ / "line.ini";
        std::ofstream(path) << "[Flash]\nVerify=Yes\n" << serialSection;
        return path.string();
    }
    void WriteCounter(const std::string& text) { std::ofstream(dir_ / "serial.cnt") << text; }
    std::string Counter() { return FileText(dir_ / "serial.cnt"); }
};

constexpr char kStamping[] =
    "[Serial]\nAddress=0x8F000\nBytes=6\nFormat=ascii\nCounter=serial.cnt\nStep=1\n"
    "Placeholder=FFFFFFFFFFFF\n";

TEST_F(SerialNumberCliTest, AGangStampsEachBoardWithItsOwnNumberAndTablesIt) {
    const std::string cli = Install();
    auto& first = StartSim({});
    zarq::SimOptions options;
    std::string error;
    ASSERT_TRUE(zarq::ParseSimArgs({"--partdb", partDb_}, options, error)) << error;
    zarq::Simulator second(options);
    ASSERT_TRUE(second.Start(error)) << error;
    std::vector<Chunk> records = Records(0, 4, 32);
    records.push_back({0xF000, std::vector<std::uint8_t>(6, 0xFF)});
    WriteImage("board.hex", HexText(records));
    WriteCounter("41\n");
    const std::string settings = Settings(kStamping);

    const std::string record = (dir_ / "line.jsonl").string();
    const Child child = RunProgram({cli, "--ports", first.DevicePath() + "," + second.DevicePath(),
                                    "--record", record, settings, "af=" + image_, "cb=115200"},
                                   dir_.string());
    ASSERT_EQ(ExitCodeOf(child), 0) << child.out << child.err;
    second.Stop();

    std::set<std::string> stamped;
    for (zarq::Simulator* sim : {&first, &second}) {
        const auto flash = sim->Flash();
        stamped.insert(std::string(flash.begin() + 0xF000, flash.begin() + 0xF006));
    }
    EXPECT_EQ(stamped, (std::set<std::string>{"000041", "000042"}));
    EXPECT_EQ(Counter(), "43\n");
    // Each board's record line keeps its number and the hash of what was written.
    std::set<std::string> recorded;
    const std::regex serial(
        R"re("serial":\{"number":(\d+),"bytes":"([0-9A-Fa-f]+)","counter":"[^"]*/serial\.cnt"\})re");
    for (const std::string& line : FileLines(record)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, serial)) << line;
        recorded.insert(m[1].str());
        EXPECT_NE(line.find("\"serial_burned\":false"), std::string::npos) << line;
        EXPECT_TRUE(std::regex_search(line, std::regex(R"re("written_sha256":"[0-9a-f]{64}")re")))
            << line;
    }
    EXPECT_EQ(recorded, (std::set<std::string>{"41", "42"}));
    EXPECT_NE(child.out.find("Serial number 41 assigned."), std::string::npos) << child.out;
    EXPECT_NE(child.out.find("Serial number 42 assigned."), std::string::npos) << child.out;
    // The table's header names the column, and each board's row its number.
    EXPECT_TRUE(std::regex_search(
        child.out, std::regex(R"(\| Port +\| Identification +\| Serial \| Code \|)")))
        << child.out;
    for (const char* number : {"41", "42"}) {
        EXPECT_TRUE(std::regex_search(
            child.out, std::regex(std::string(R"(\| +)") + number + R"( \| +0 \| )")))
            << number << "\n"
            << child.out;
    }
}

TEST_F(SerialNumberCliTest, ShowPrintsTheSerialSettingsAndTheNextNumberWithoutTakingIt) {
    const std::string cli = Install();
    WriteCounter("1234\n");
    const Child child = RunProgram({cli, "--show", Settings(kStamping)}, dir_.string());
    EXPECT_EQ(ExitCodeOf(child), 0) << child.err;
    for (const std::string& line : std::vector<std::string>{
             "serialAddress=0x8F000", "serialBytes=6", "serialFormat=ascii",
             "serialCounter=" + (dir_ / "serial.cnt").string(), "serialStep=1", "serialLast=none",
             "serialPlaceholder=FFFFFFFFFFFF", "serialNext=1234"}) {
        EXPECT_NE(child.out.find("\n" + line + "\n"), std::string::npos) << line << child.out;
    }
    EXPECT_EQ(Counter(), "1234\n");

    const Child plain = RunProgram({cli, "--show", Settings("")}, dir_.string());
    EXPECT_EQ(ExitCodeOf(plain), 0);
    EXPECT_EQ(plain.out.find("serial"), std::string::npos) << "no [Serial], no serial lines";
}

TEST_F(SerialNumberCliTest, SettingsThatCannotStampAreRefusedBeforeThePortOpens) {
    struct Case {
        const char* name;
        std::string section;
        const char* counter; // nullptr: no counter file
        std::vector<std::string> words;
    };
    const std::string base = "[Serial]\nAddress=0x8F000\nBytes=4\nCounter=serial.cnt\n";
    const Case cases[] = {
        {"UnknownFormat", base + "Format=dec\n", "5\n", {"Format=dec", "line.ini"}},
        {"BytesOutOfRange",
         "[Serial]\nAddress=0x8F000\nBytes=20\nFormat=le\nCounter=serial.cnt\n",
         "5\n",
         {"Bytes=20", "line.ini"}},
        {"LastPassed", base + "Format=le\nLast=4\n", "5\n", {"past Last=4"}},
        {"NoCounterFile", base + "Format=le\n", nullptr, {"serial.cnt", "does not exist"}},
    };
    const std::string cli = Install();
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    for (const Case& c : cases) {
        std::filesystem::remove(dir_ / "serial.cnt");
        if (c.counter) WriteCounter(c.counter);
        const Child child = RunProgram(
            {cli, Settings(c.section), "af=" + image_, "cp=" + sim_->DevicePath(), "cb=115200"},
            dir_.string());
        EXPECT_EQ(ExitCodeOf(child), 2) << c.name << child.out << child.err;
        for (const std::string& word : c.words) {
            EXPECT_NE(child.err.find(word), std::string::npos) << c.name << ": " << child.err;
        }
        if (c.counter) {
            EXPECT_EQ(Counter(), c.counter) << c.name;
        }
    }
    EXPECT_TRUE(Frames().empty()) << "the port was never opened";
}

} // namespace
} // namespace talvex::testing
