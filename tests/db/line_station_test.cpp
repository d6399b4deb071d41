// Stations of a line sharing one PostgreSQL server, as talvex-cli runs them
// against zarq-sim: numbers from a db: counter across processes and gang
// ports, one row per run, a server that goes away in the middle of a run of
// boards, and a password the server refuses.

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "cli_fixture.h"
#include "gang.h"
#include "pg_test_server.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kStampOffset = 0xF000; // Address=0x8F000
constexpr std::size_t kStampBytes = 4;

class LineStationTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        connection_ = PgTestServer::FreshDatabase("station");
        ASSERT_FALSE(connection_.empty());
        cli_ = Install();
        image = Records(0, 8, 16);
        image.push_back({kStampOffset, std::vector<std::uint8_t>(kStampBytes, 0xFF)});
        WriteImage("board.hex", HexText(image));
    }

    // The settings every station shares; database as [Line] Database.
    std::string WriteSettings(const std::string& database, std::uint64_t first,
                              std::uint64_t step) {
        const auto settings = dir_ / "line.ini";
        std::ofstream(settings) << "[Flash]\nVerify=Yes\n[Serial]\nAddress=0x8F000\nBytes="
                                << kStampBytes << "\nFormat=le\nCounter=db:sn\nFirst=" << first
                                << "\nStep=" << step
                                << "\nPlaceholder=FFFFFFFF\n[Line]\nDatabase=" << database << "\n";
        return settings.string();
    }

    Child Cli(std::vector<std::string> args, RunOptions options = {}) {
        args.insert(args.begin(), cli_);
        return RunProgram(args, dir_.string(), options);
    }

    std::vector<std::string> Flash(const std::string& settings, const std::string& port) const {
        return {settings, "af=" + image_, "cp=" + port, "cb=230400",
                "fe=n",   "fp=y",         "rr=y",       "rf=0"};
    }

    long long Count(const std::string& sql) const { return PgTestServer::Count(connection_, sql); }

    std::string connection_;
    std::string cli_;
    std::vector<Chunk> image;
};

TEST_F(LineStationTest, FourGangStationsOnOneDatabaseGiveEveryBoardItsOwnNumberAndRow) {
    constexpr int kStations = 4;
    constexpr int kSlots = 4;
    constexpr int kBoards = 25;
    constexpr std::uint64_t kFirst = 7000;
    constexpr std::uint64_t kStep = 2;
    const std::string settings = WriteSettings(connection_, kFirst, kStep);
    const Child init = Cli({"--db-init", settings});
    ASSERT_EQ(ExitCodeOf(init), 0) << init.out << init.err;
    EXPECT_NE(init.out.find("Counter sn created; its first number is 7000."), std::string::npos)
        << init.out;

    // One fixture slot of each station refuses every board's second write,
    // after the board took its number: those numbers are burned.
    std::vector<std::vector<std::string>> ports(kStations);
    for (int station = 0; station < kStations; ++station) {
        for (int slot = 0; slot < kSlots; ++slot) {
            // A board stays a second after its last frame: a slow station
            // (a sanitizer build) must not see the next board mid-run.
            std::vector<std::string> args = {"--boards",         std::to_string(kBoards),
                                             "--board-pause-ms", "30",
                                             "--board-idle-ms",  "1000"};
            if (slot == 3) {
                args.emplace_back("--nak");
                args.emplace_back("W@2");
            }
            ports[station].push_back(StartExtraSim(args).DevicePath());
        }
    }
    ASSERT_FALSE(HasFailure());
    // Connections are opened once per process and kept, not per board:
    // the server sees no more sessions of ours than there are stations.
    std::atomic<bool> finished{false};
    std::set<std::string> sessions;
    std::thread watch([&] {
        while (!finished) {
            for (const std::string& pid : PgTestServer::Column(
                     connection_,
                     "SELECT pid::text FROM pg_stat_activity WHERE "
                     "application_name = 'talvex' AND datname = current_database()"))
                sessions.insert(pid);
            std::this_thread::sleep_for(20ms);
        }
    });
    std::vector<Child> stations(kStations);
    std::vector<std::thread> running;
    for (int station = 0; station < kStations; ++station) {
        running.emplace_back([&, station] {
            RunOptions options;
            options.killAfter = 150s;
            std::vector<std::string> args = {"--ports", FormatPortList(ports[station]), "--boards",
                                             std::to_string(kBoards)};
            for (const std::string& a : Flash(settings, ports[station][0])) {
                if (a.rfind("cp=", 0) != 0) args.push_back(a);
            }
            stations[station] = Cli(args, options);
        });
    }
    for (std::thread& t : running) t.join();
    finished = true;
    watch.join();
    for (auto& sim : extraSims_) sim->Stop();
    EXPECT_GE(sessions.size(), 1u);
    EXPECT_LE(sessions.size(), std::size_t{kStations});
    for (const Child& child : stations) {
        ASSERT_TRUE(WIFEXITED(child.status)) << child.out << child.err;
        EXPECT_EQ(WEXITSTATUS(child.status), 7) << child.err;
    }

    constexpr long long kAll = kStations * kSlots * kBoards;
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_run"), kAll);
    EXPECT_EQ(Count("SELECT count(DISTINCT serial) FROM talvex_run"), kAll);
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_serial"), kAll);
    // One unbroken run of numbers from First, each with its run's row.
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_serial s JOIN talvex_run r ON r.run_id = "
                    "s.run_id AND r.serial = s.number"),
              kAll);
    EXPECT_EQ(Count("SELECT min(number) FROM talvex_serial"), static_cast<long long>(kFirst));
    EXPECT_EQ(Count("SELECT max(number) FROM talvex_serial"),
              static_cast<long long>(kFirst + kStep * (kAll - 1)));
    EXPECT_EQ(Count("SELECT next_number FROM talvex_counter WHERE name = 'sn'"),
              static_cast<long long>(kFirst + kStep * kAll));
    // Burned exactly where the boards failed after taking their numbers.
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_serial WHERE burned"), kStations * kBoards);
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_run WHERE code = 7 AND serial IS NOT NULL"),
              kStations * kBoards);
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_serial WHERE burned IS NULL"), 0);

    // The report, read from the database, says what the rows say.
    const Child report = Cli({"--report", "--csv", settings});
    ASSERT_EQ(ExitCodeOf(report), 0) << report.out << report.err;
    std::map<std::string, std::vector<std::string>> sections; // section -> its rows
    std::istringstream lines(report.out);
    for (std::string line; std::getline(lines, line);) {
        const std::string section = line.substr(0, line.find(','));
        if (section != "section") sections[section].push_back(line.substr(section.size() + 1));
    }
    const auto sql = [&](const std::string& query) { return std::to_string(Count(query)); };
    ASSERT_EQ(sections["yield"].size(), 1u) << report.out;
    const std::string yield = sections["yield"][0];
    EXPECT_NE(yield.find("," + sql("SELECT count(*) FROM talvex_run WHERE download") + "," +
                         sql("SELECT count(*) FROM talvex_run WHERE code = 0") + "," +
                         sql("SELECT count(*) FROM talvex_run WHERE code <> 0") + ","),
              std::string::npos)
        << yield;
    ASSERT_EQ(sections["code"].size(), 1u) << report.out;
    EXPECT_EQ(sections["code"][0],
              "7,write," + sql("SELECT count(*) FROM talvex_run WHERE code = 7"));
    std::set<std::string> failedSerials;
    for (const std::string& row : sections["failed_serial"])
        failedSerials.insert(row.substr(0, row.find(',')));
    std::set<std::string> burned;
    for (const std::string& n :
         PgTestServer::Column(connection_, "SELECT serial::text FROM talvex_run WHERE code <> 0"))
        burned.insert(n);
    EXPECT_EQ(failedSerials, burned);
}

// On the cluster that may be taken away, one such test at a time.
class LineStationServerAway : public LineStationTest {};

TEST_F(LineStationServerAway, InTheMiddleOfARunNoBoardIsFlashedWithoutANumberNorRecordLost) {
    constexpr int kBoards = 12;
    const std::string settings = WriteSettings(connection_, 1, 1);
    ASSERT_EQ(ExitCodeOf(Cli({"--db-init", settings})), 0);
    const std::string dumps = (dir_ / "board-%n.bin").string();
    zarq::Simulator& sim = StartExtraSim({"--boards", std::to_string(kBoards), "--board-pause-ms",
                                          "30", "--board-idle-ms", "300", "--dump", dumps});
    ASSERT_FALSE(HasFailure());

    // Away after the third stored run, back once four records wait in the
    // spool: at most one of them is the board that had its number before
    // the server went, so at least three boards were refused meanwhile.
    std::atomic<bool> done{false};
    std::string serverProblem;
    std::thread server([&] {
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (!done && Count("SELECT count(*) FROM talvex_run") < 3 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(10ms);
        }
        if (!PgTestServer::Stop(serverProblem)) return;
        const auto spool = dir_ / "talvex-spool.jsonl";
        while (!done && FileLines(spool).size() < 4 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(10ms);
        }
        PgTestServer::Start(serverProblem);
    });
    RunOptions options;
    options.killAfter = 120s;
    std::vector<std::string> args = {"--boards", std::to_string(kBoards)};
    for (const std::string& a : Flash(settings, sim.DevicePath())) args.push_back(a);
    const Child run = Cli(args, options);
    done = true;
    server.join();
    sim.Stop();
    ASSERT_EQ(serverProblem, "");
    ASSERT_TRUE(WIFEXITED(run.status)) << run.out << run.err;
    EXPECT_EQ(WEXITSTATUS(run.status), 4) << run.out << run.err;
    EXPECT_NE(run.err.find("Cannot reach the line database"), std::string::npos) << run.err;

    const Child flush = Cli({"--db-flush", settings});
    EXPECT_EQ(ExitCodeOf(flush), 0) << flush.out << flush.err;
    const Child again = Cli({"--db-flush", settings});
    EXPECT_NE(again.out.find("0 run record(s) delivered"), std::string::npos) << again.out;
    EXPECT_EQ(FileLines(dir_ / "talvex-spool.jsonl").size(), 0u);

    // Every board once, in the order they came.
    const auto codes = PgTestServer::Column(connection_,
                                            "SELECT code::text || ':' || coalesce(serial::text, "
                                            "'-') FROM talvex_run ORDER BY started_at");
    ASSERT_EQ(codes.size(), std::size_t{kBoards});
    int refused = 0;
    std::set<std::string> numbers;
    for (std::size_t board = 1; board <= codes.size(); ++board) {
        SCOPED_TRACE("board " + std::to_string(board) + " " + codes[board - 1]);
        const std::string text = FileText(dir_ / ("board-" + std::to_string(board) + ".bin"));
        ASSERT_GE(text.size(), kStampOffset + kStampBytes);
        const bool written = static_cast<std::uint8_t>(text[0]) == image[0].bytes[0];
        if (codes[board - 1] == "4:-") {
            ++refused;
            EXPECT_FALSE(written) << "flashed without a number";
            EXPECT_EQ(text.find_first_not_of('\xFF'), std::string::npos) << "erased or written";
        } else {
            const std::string serial = codes[board - 1].substr(2);
            ASSERT_EQ(codes[board - 1].substr(0, 2), "0:");
            EXPECT_TRUE(written);
            EXPECT_TRUE(numbers.insert(serial).second) << serial;
            std::uint64_t stamped = 0;
            for (std::size_t i = 0; i < kStampBytes; ++i)
                stamped |= std::uint64_t{static_cast<std::uint8_t>(text[kStampOffset + i])}
                           << (8 * i);
            EXPECT_EQ(std::to_string(stamped), serial);
        }
    }
    EXPECT_GE(refused, 3);
    EXPECT_GE(numbers.size(), 3u) << "boards before and after the server was away";
}

TEST_F(LineStationTest, APasswordTheServerRefusesOrTheSettingsHoldFlashesNothing) {
    const std::string db = PgTestServer::Column(connection_, "SELECT current_database()").at(0);
    EXPECT_TRUE(
        PgTestServer::Execute(connection_, "GRANT ALL ON DATABASE " + db + " TO talvex_pw"));
    const std::string settings =
        WriteSettings(PgTestServer::ConnInfo(db, PgTestServer::kPasswordUser), 1, 1);
    // Created by the owner: the password role only takes numbers.
    {
        RunOptions options;
        Child init = Cli({"--database", connection_, "--db-init", settings}, options);
        ASSERT_EQ(ExitCodeOf(init), 0) << init.err;
        EXPECT_TRUE(PgTestServer::Execute(connection_,
                                          "GRANT ALL ON ALL TABLES IN SCHEMA public TO talvex_pw"));
    }
    const std::string dump = (dir_ / "board.bin").string();
    zarq::Simulator& sim = StartExtraSim({"--dump", dump});
    ASSERT_FALSE(HasFailure());

    RunOptions wrong;
    wrong.env = {{"PGPASSWORD", "not-the-password"}, {"TALVEX_DATABASE", ""}};
    wrong.killAfter = 30s;
    const Child refused = Cli(Flash(settings, sim.DevicePath()), wrong);
    EXPECT_EQ(ExitCodeOf(refused), 4) << refused.out << refused.err;
    EXPECT_NE(refused.err.find("password authentication failed"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("The board is not flashed."), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out.find("Erasing"), std::string::npos) << refused.out;

    // The same with the password in the settings file: refused before any
    // connection, and the password is not repeated.
    const auto withPassword = dir_ / "password.ini";
    std::ofstream(withPassword) << "[Serial]\nAddress=0x8F000\nBytes=4\nFormat=le\nCounter=db:sn\n"
                                   "Placeholder=FFFFFFFF\n[Line]\nDatabase="
                                << PgTestServer::ConnInfo(db, PgTestServer::kPasswordUser)
                                << " password=" << PgTestServer::kPassword << "\n";
    const Child inFile = Cli(Flash(withPassword.string(), sim.DevicePath()), wrong);
    EXPECT_EQ(ExitCodeOf(inFile), 2) << inFile.out << inFile.err;
    EXPECT_NE(inFile.err.find("holds a password"), std::string::npos) << inFile.err;
    EXPECT_NE(inFile.err.find("~/.pgpass"), std::string::npos) << inFile.err;
    EXPECT_EQ(inFile.err.find(PgTestServer::kPassword), std::string::npos) << inFile.err;
    EXPECT_EQ(inFile.out.find("Erasing"), std::string::npos) << inFile.out;

    // With the right password the same board flashes and takes number 1.
    RunOptions right;
    right.env = {{"PGPASSWORD", PgTestServer::kPassword}, {"TALVEX_DATABASE", ""}};
    right.killAfter = 30s;
    const Child flashed = Cli(Flash(settings, sim.DevicePath()), right);
    EXPECT_EQ(ExitCodeOf(flashed), 0) << flashed.out << flashed.err;
    EXPECT_NE(flashed.out.find("Serial number 1 assigned."), std::string::npos) << flashed.out;
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_run WHERE code = 0 AND serial = 1"), 1);
}

} // namespace
} // namespace talvex::testing
