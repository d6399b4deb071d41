// A whole production line on one counter file: several talvex-cli stations,
// each a gang running board after board, all taking serial numbers from the
// same file at the same time. Whatever the interleaving, no number may be
// handed out twice, none may go missing, and a board that fails after taking
// its number must say it burned it.

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "cli_fixture.h"
#include "gang.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kStations = 4;
constexpr int kSlotsPerStation = 4;
constexpr int kBoardsPerSlot = 25;
constexpr std::uint64_t kFirst = 5000;
constexpr std::uint64_t kStep = 3;
constexpr std::uint32_t kStampOffset = 0xF000; // Address=0x8F000, flash starts at 0x80000
constexpr std::size_t kStampBytes = 4;

// Fixtures whose every board refuses its second write: by then the board
// was identified and erased, so its number is taken and must be burned.
bool FaultyFixture(int station, int slot) { return slot == 2 && (station == 0 || station == 2); }

std::string HexOf(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::string LittleEndianHex(std::uint64_t number) {
    std::uint8_t bytes[kStampBytes];
    for (std::size_t i = 0; i < kStampBytes; ++i)
        bytes[i] = static_cast<std::uint8_t>(number >> (8 * i));
    return HexOf(bytes, kStampBytes);
}

class SharedCounterLineTest : public CliTest {
protected:
    // One fixture slot: its boards come one after another after a short
    // swap, and each leaves its flash in a dump of its own.
    zarq::Simulator& StartFixture(int station, int slot) {
        std::vector<std::string> args = {"--boards",         std::to_string(kBoardsPerSlot),
                                         "--board-pause-ms", "30",
                                         "--board-idle-ms",  "300",
                                         "--dump",           DumpPattern(station, slot),
                                         "--partdb",         partDb_};
        if (FaultyFixture(station, slot)) {
            args.emplace_back("--nak");
            args.emplace_back("W@2");
        }
        return StartExtraSim(args);
    }

    std::string DumpPattern(int station, int slot) const {
        return (dir_ / ("s" + std::to_string(station) + "-" + std::to_string(slot) + "-%n.bin"))
            .string();
    }
    std::filesystem::path DumpOf(int station, int slot, int board) const {
        return dir_ / ("s" + std::to_string(station) + "-" + std::to_string(slot) + "-" +
                       std::to_string(board) + ".bin");
    }
};

TEST_F(SharedCounterLineTest, FourGangStationsOnOneCounterNeverRepeatOrLoseANumber) {
    const std::string cli = Install();
    std::vector<Chunk> image = Records(0, 8, 16);
    image.push_back({kStampOffset, std::vector<std::uint8_t>(kStampBytes, 0xFF)});
    WriteImage("board.hex", HexText(image));
    std::ofstream(dir_ / "serial.cnt") << kFirst << "\n";
    const auto settings = dir_ / "line.ini";
    std::ofstream(settings) << "[Flash]\nVerify=Yes\n[Serial]\nAddress=0x8F000\nBytes="
                            << kStampBytes << "\nFormat=le\nCounter=serial.cnt\nStep=" << kStep
                            << "\nPlaceholder=FFFFFFFF\n";
    const auto record = dir_ / "line.jsonl";

    std::vector<std::vector<std::string>> stationPorts(kStations);
    std::set<std::string> faultyPorts;
    for (int station = 0; station < kStations; ++station) {
        for (int slot = 0; slot < kSlotsPerStation; ++slot) {
            stationPorts[station].push_back(StartFixture(station, slot).DevicePath());
            if (FaultyFixture(station, slot)) faultyPorts.insert(stationPorts[station].back());
        }
    }
    ASSERT_FALSE(HasFailure());

    // All stations at once, as on the line; each is killed if it outlives
    // the bound, so a hang fails the test with the output kept.
    std::vector<Child> stations(kStations);
    std::vector<std::thread> running;
    const auto started = std::chrono::steady_clock::now();
    for (int station = 0; station < kStations; ++station) {
        running.emplace_back([&, station] {
            RunOptions options;
            options.killAfter = 150s;
            stations[station] = RunProgram(
                {cli, "--ports", FormatPortList(stationPorts[station]), "--boards",
                 std::to_string(kBoardsPerSlot), "--record", record.string(), settings.string(),
                 "af=" + image_, "cb=230400", "fe=n", "fp=y", "rr=y", "rf=0"},
                dir_.string(), options);
        });
    }
    for (std::thread& t : running) t.join();
    const auto took = std::chrono::steady_clock::now() - started;
    std::printf("%d boards on %d stations took %.1f s\n",
                kStations * kSlotsPerStation * kBoardsPerSlot, kStations,
                std::chrono::duration<double>(took).count());
    for (auto& sim : extraSims_) sim->Stop();

    // A station with a faulty fixture ends with the write's code, the
    // others with 0.
    for (int station = 0; station < kStations; ++station) {
        SCOPED_TRACE("station " + std::to_string(station));
        bool faulty = false;
        for (int slot = 0; slot < kSlotsPerStation; ++slot) faulty |= FaultyFixture(station, slot);
        const Child& child = stations[station];
        ASSERT_TRUE(WIFEXITED(child.status)) << "killed or crashed\n" << child.out << child.err;
        EXPECT_EQ(WEXITSTATUS(child.status), faulty ? 7 : 0) << child.out << child.err;
        EXPECT_NE(child.out.find("Gang: " + std::to_string(kSlotsPerStation * kBoardsPerSlot) +
                                 " boards on " + std::to_string(kSlotsPerStation) + " ports"),
                  std::string::npos)
            << child.out;
    }

    // Every board has its record line, with its number and its bytes.
    const std::regex serial(
        R"re("serial":\{"number":(\d+),"bytes":"([0-9A-Fa-f]+)","counter":"[^"]*/serial\.cnt"\},"serial_burned":(true|false))re");
    const auto lines = FileLines(record);
    ASSERT_EQ(lines.size(), std::size_t{kStations * kSlotsPerStation * kBoardsPerSlot});
    std::map<std::uint64_t, std::string> passed; // number -> bytes written
    std::set<std::uint64_t> numbers;
    const std::regex port(R"re("port":"([^"]*)")re");
    std::size_t burned = 0;
    for (const std::string& line : lines) {
        std::smatch p;
        ASSERT_TRUE(std::regex_search(line, p, port)) << line;
        const bool fromFaultyFixture = faultyPorts.count(p[1].str()) != 0;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, serial)) << line;
        EXPECT_EQ(m[3].str() == "true", fromFaultyFixture)
            << "burned exactly when the board failed after taking its number: " << line;
        const std::uint64_t number = std::stoull(m[1].str());
        EXPECT_TRUE(numbers.insert(number).second) << "number " << number << " given twice";
        EXPECT_EQ(m[2].str(), LittleEndianHex(number)) << line;
        if (m[3].str() == "true") {
            ++burned;
        } else {
            passed[number] = m[2].str();
        }
    }
    EXPECT_EQ(burned, std::size_t{2 * kBoardsPerSlot}) << "each board of the faulty fixtures";

    // One unbroken run from the first number: a gap would be a number lost,
    // and burned numbers are in it because their records keep them.
    std::uint64_t expected = kFirst;
    for (const std::uint64_t number : numbers) {
        ASSERT_EQ(number, expected) << "the run breaks here";
        expected += kStep;
    }
    EXPECT_EQ(
        FileText(dir_ / "serial.cnt"),
        std::to_string(kFirst + kStep * kStations * kSlotsPerStation * kBoardsPerSlot) + "\n");

    // Each board that passed left with its own number at Address and the
    // image everywhere else it was written; together they are exactly the
    // numbers recorded as passed.
    std::vector<std::uint8_t> head;
    for (std::size_t i = 0; i < 8; ++i)
        head.insert(head.end(), image[i].bytes.begin(), image[i].bytes.end());
    std::set<std::uint64_t> stamped;
    for (int station = 0; station < kStations; ++station) {
        for (int slot = 0; slot < kSlotsPerStation; ++slot) {
            if (FaultyFixture(station, slot)) continue;
            for (int board = 1; board <= kBoardsPerSlot; ++board) {
                const auto path = DumpOf(station, slot, board);
                SCOPED_TRACE(path.string());
                const std::string text = FileText(path);
                const std::vector<std::uint8_t> flash(text.begin(), text.end());
                ASSERT_GE(flash.size(), kStampOffset + kStampBytes);
                EXPECT_EQ(std::vector<std::uint8_t>(flash.begin(), flash.begin() + 128), head);
                const std::string hex = HexOf(&flash[kStampOffset], kStampBytes);
                std::uint64_t number = 0;
                for (std::size_t i = 0; i < kStampBytes; ++i)
                    number |= std::uint64_t{flash[kStampOffset + i]} << (8 * i);
                const auto found = passed.find(number);
                ASSERT_NE(found, passed.end()) << "stamped " << number << ", recorded as passed";
                EXPECT_EQ(found->second, hex);
                EXPECT_TRUE(stamped.insert(number).second)
                    << "number " << number << " on two boards";
            }
        }
    }
    EXPECT_EQ(stamped.size(), passed.size());
}

} // namespace
} // namespace talvex::testing
