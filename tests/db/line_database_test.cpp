// The line database client against a real PostgreSQL server: the schema and
// its upgrade, numbers that are never handed out twice, records stored
// exactly once however often they are delivered, and what happens while
// the server is away.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "line_database_client.h"
#include "pg_test_server.h"
#include "run_record.h"

namespace talvex::testing {
namespace {

SerialSettings Counter(const std::string& name, std::uint64_t first,
                       std::optional<std::uint64_t> last = std::nullopt, std::uint64_t step = 1) {
    SerialSettings serial;
    serial.counterDb = name;
    serial.first = first;
    serial.last = last;
    serial.step = step;
    serial.bytes = 4;
    return serial;
}

// A record line as a run writes it, with its own run id.
std::string RecordLine(const std::string& part, int code, std::optional<std::uint64_t> serial,
                       const std::string& runId = NewRunId()) {
    RunRecord r;
    r.runId = runId;
    r.startUnixMs = 1796000000000;
    r.host = "bench";
    r.station = "station-1";
    r.port = "/dev/ttyUSB0";
    r.part = part;
    r.image.path = "/srv/board.hex";
    r.image.read = true;
    r.image.sha256 = std::string(64, 'a');
    if (serial) r.serial = RunRecord::Serial{*serial, "E8030000", "db:sn"};
    r.code = code;
    return FormatRunRecord(r);
}

class LineDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        connection_ = PgTestServer::FreshDatabase("line");
        ASSERT_FALSE(connection_.empty());
        dir_ = std::filesystem::temp_directory_path() /
               ("talvex-line-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::unique_ptr<LineDatabaseClient> Client(const std::string& connection = {}) const {
        LineDatabaseOptions options;
        options.connection = connection.empty() ? connection_ : connection;
        options.source = "--database";
        options.station = "station-1";
        options.spool = (dir_ / "spool.jsonl").string();
        return std::make_unique<LineDatabaseClient>(options);
    }

    void Init(LineDatabaseClient& client, const std::optional<SerialSettings>& counter,
              int version = kLineSchemaVersion) {
        std::string report;
        std::string whyNot;
        ASSERT_EQ(client.InitSchema(counter, report, whyNot, version), DbState::Done) << whyNot;
    }

    long long Count(const std::string& sql) const { return PgTestServer::Count(connection_, sql); }

    std::string connection_;
    std::filesystem::path dir_;
};

TEST_F(LineDatabaseTest, InitCreatesTheSchemaAndCounterAndRunningItAgainChangesNothing) {
    auto client = Client();
    std::string report;
    std::string whyNot;
    ASSERT_EQ(client->InitSchema(Counter("sn", 1000), report, whyNot), DbState::Done) << whyNot;
    EXPECT_NE(report.find("upgraded from schema version 0 to 2"), std::string::npos) << report;
    EXPECT_NE(report.find("Counter sn created; its first number is 1000."), std::string::npos);

    const CounterResult taken = client->TakeSerial(Counter("sn", 1000), "/dev/ttyUSB0");
    ASSERT_EQ(taken.status, CounterStatus::Taken) << taken.message;
    EXPECT_EQ(taken.number, 1000u);

    // Again, with another First: the counter keeps its place.
    ASSERT_EQ(client->InitSchema(Counter("sn", 1), report, whyNot), DbState::Done) << whyNot;
    EXPECT_NE(report.find("at schema version 2; nothing to upgrade"), std::string::npos) << report;
    EXPECT_NE(report.find("Counter sn kept; its next number is 1001."), std::string::npos)
        << report;
    EXPECT_EQ(client->SchemaVersion(whyNot), kLineSchemaVersion);
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_schema"), 1);
}

TEST_F(LineDatabaseTest, UpgradeFromTheCountersOnlySchemaKeepsEveryNumberTaken) {
    auto old = Client();
    Init(*old, Counter("sn", 50), 1);
    // Version 1 stations took numbers; version 1 has no run records.
    ASSERT_EQ(Count("SELECT count(*) FROM pg_tables WHERE tablename = 'talvex_run'"), 0);
    ASSERT_TRUE(
        PgTestServer::Execute(connection_,
                              "UPDATE talvex_counter SET next_number = 53 WHERE name = 'sn'; "
                              "INSERT INTO talvex_serial (counter, number, station, port) VALUES "
                              "('sn', 50, 'a', 'p'), ('sn', 51, 'a', 'p'), ('sn', 52, 'b', 'p')"));

    // A program of this version refuses the old schema until it is upgraded.
    auto client = Client();
    std::string whyNot;
    EXPECT_EQ(client->Connect(whyNot), DbState::Refused);
    EXPECT_NE(whyNot.find("is at schema version 1; upgrade it to 2 with talvex-cli --db-init"),
              std::string::npos)
        << whyNot;
    const CounterResult refused = client->TakeSerial(Counter("sn", 50), "p");
    EXPECT_EQ(refused.status, CounterStatus::Problem) << refused.message;

    std::string report;
    ASSERT_EQ(client->InitSchema(Counter("sn", 50), report, whyNot), DbState::Done) << whyNot;
    EXPECT_NE(report.find("upgraded from schema version 1 to 2"), std::string::npos) << report;
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_serial WHERE burned IS NULL"), 3);
    const CounterResult taken = client->TakeSerial(Counter("sn", 50), "p");
    ASSERT_EQ(taken.status, CounterStatus::Taken) << taken.message;
    EXPECT_EQ(taken.number, 53u);
    EXPECT_TRUE(client->StoreRecord(RecordLine("ZaRQ4126", 0, 53)).stored);
}

TEST_F(LineDatabaseTest, ASchemaNewerThanTheProgramIsRefused) {
    auto client = Client();
    Init(*client, std::nullopt);
    EXPECT_TRUE(PgTestServer::Execute(connection_, "UPDATE talvex_schema SET version = 9"));
    std::string report;
    std::string whyNot;
    EXPECT_EQ(client->InitSchema(std::nullopt, report, whyNot), DbState::Refused);
    EXPECT_NE(whyNot.find("schema version 9, newer than this TALVEX knows (2); update TALVEX"),
              std::string::npos)
        << whyNot;
    EXPECT_EQ(Client()->Connect(whyNot), DbState::Refused);
}

TEST_F(LineDatabaseTest, ClientsOnManyThreadsNeverTakeTheSameNumberAndStopAtLast) {
    Init(*Client(), Counter("sn", 10));
    constexpr int kClients = 6;
    constexpr int kEach = 30;
    // Room for all but the last few: the counter runs out during the race.
    const SerialSettings serial = Counter("sn", 10, 10 + 3 * (kClients * kEach - 7), 3);
    std::vector<std::vector<std::uint64_t>> numbers(kClients);
    std::vector<int> usedUp(kClients, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            auto client = Client();
            for (int n = 0; n < kEach; ++n) {
                const CounterResult r = client->TakeSerial(serial, "port" + std::to_string(i));
                if (r.status == CounterStatus::Taken) numbers[i].push_back(r.number);
                if (r.status == CounterStatus::UsedUp) ++usedUp[i];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::set<std::uint64_t> all;
    int refused = 0;
    for (int i = 0; i < kClients; ++i) {
        for (const std::uint64_t n : numbers[i]) EXPECT_TRUE(all.insert(n).second) << n;
        refused += usedUp[i];
    }
    EXPECT_EQ(refused, 6);
    ASSERT_EQ(all.size(), std::size_t{kClients * kEach - 6});
    std::uint64_t expected = 10;
    for (const std::uint64_t n : all) {
        ASSERT_EQ(n, expected);
        expected += 3;
    }
    EXPECT_EQ(Count("SELECT count(DISTINCT number) FROM talvex_serial"),
              static_cast<long long>(all.size()));

    const CounterResult past = Client()->TakeSerial(serial, "p");
    EXPECT_EQ(past.status, CounterStatus::UsedUp);
    EXPECT_NE(past.message.find("is used up: its next number"), std::string::npos) << past.message;
}

TEST_F(LineDatabaseTest, ACounterNotInTheDatabaseIsRefusedNotStarted) {
    auto client = Client();
    Init(*client, Counter("sn", 1));
    const CounterResult r = client->TakeSerial(Counter("other", 1), "p");
    EXPECT_EQ(r.status, CounterStatus::Problem);
    EXPECT_NE(r.message.find("Counter other is not in the line database"), std::string::npos)
        << r.message;
    EXPECT_NE(r.message.find("create it with talvex-cli --db-init"), std::string::npos);
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_counter WHERE name = 'other'"), 0);
}

TEST_F(LineDatabaseTest, ARecordDeliveredTwiceIsStoredOnceAndMarksItsNumber) {
    auto client = Client();
    Init(*client, Counter("sn", 7));
    const CounterResult good = client->TakeSerial(Counter("sn", 7), "p");
    const CounterResult bad = client->TakeSerial(Counter("sn", 7), "p");
    ASSERT_EQ(bad.status, CounterStatus::Taken);
    const std::string passed = RecordLine("ZaRQ4126", 0, good.number);
    const std::string failed = RecordLine("ZaRQ4126", 7, bad.number);
    EXPECT_TRUE(client->StoreRecord(passed).stored);
    EXPECT_TRUE(client->StoreRecord(failed).stored);
    EXPECT_TRUE(client->StoreRecord(passed).stored) << "again: no error, nothing added";
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_run"), 2);
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_serial WHERE number = 7 AND burned = false AND "
                    "run_id IS NOT NULL"),
              1);
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_serial WHERE number = 8 AND burned = true"), 1);
    // The columns come from the record itself.
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_run WHERE station = 'station-1' AND part = "
                    "'ZaRQ4126' AND code = 7 AND meaning = 'write' AND serial = 8 AND "
                    "counter = 'db:sn' AND download AND record->>'run_id' = run_id::text"),
              1);
}

// On the cluster that may be taken away, one such test at a time.
class LineDatabaseServerAway : public LineDatabaseTest {};

TEST_F(LineDatabaseServerAway, RecordsWaitInTheSpoolAndAreDeliveredOnce) {
    auto client = Client();
    Init(*client, Counter("sn", 1));
    const std::string before = RecordLine("ZaRQ4126", 0, std::nullopt);
    ASSERT_TRUE(client->StoreRecord(before).stored);

    std::string whyNot;
    ASSERT_TRUE(PgTestServer::Stop(whyNot)) << whyNot;
    const CounterResult away = client->TakeSerial(Counter("sn", 1), "p");
    EXPECT_EQ(away.status, CounterStatus::Unreachable) << away.message;
    EXPECT_NE(away.message.find("the line database \""), std::string::npos) << away.message;
    EXPECT_NE(away.message.find("No serial number was taken"), std::string::npos);
    const std::vector<std::string> lines = {RecordLine("ZaRQ4126", 4, std::nullopt),
                                            RecordLine("ZaRQ4124", 0, std::nullopt), before};
    for (const std::string& line : lines) {
        const RecordDelivery d = client->StoreRecord(line);
        EXPECT_FALSE(d.stored);
        EXPECT_TRUE(d.spooled) << d.message;
        EXPECT_NE(d.message.find("waits in " + (dir_ / "spool.jsonl").string()), std::string::npos)
            << d.message;
    }
    EXPECT_EQ(client->SpoolWaiting(), 3u);
    const SpoolFlush stillAway = client->FlushSpool();
    EXPECT_EQ(stillAway.delivered, 0u);
    EXPECT_EQ(stillAway.waiting, 3u);

    ASSERT_TRUE(PgTestServer::Start(whyNot)) << whyNot;
    const SpoolFlush flush = client->FlushSpool();
    EXPECT_EQ(flush.delivered, 3u) << flush.message;
    EXPECT_EQ(flush.waiting, 0u);
    EXPECT_EQ(client->SpoolWaiting(), 0u);
    // The one stored before the server went away and spooled again is
    // still stored once.
    EXPECT_EQ(Count("SELECT count(*) FROM talvex_run"), 3);
    // The connection came back by itself.
    EXPECT_EQ(client->TakeSerial(Counter("sn", 1), "p").status, CounterStatus::Taken);
}

TEST_F(LineDatabaseTest, ALineTheServerRefusesIsMovedAsideNotDroppedAndHoldsNothingBack) {
    auto client = Client();
    Init(*client, std::nullopt);
    std::ofstream(dir_ / "spool.jsonl") << RecordLine("A", 0, std::nullopt) << "\n"
                                        << "{\"run_id\":\"not-a-uuid\"}\n"
                                        << RecordLine("B", 0, std::nullopt) << "\n";
    const SpoolFlush flush = client->FlushSpool();
    EXPECT_EQ(flush.delivered, 2u);
    EXPECT_EQ(flush.rejected, 1u);
    EXPECT_EQ(flush.waiting, 0u);
    EXPECT_NE(flush.message.find("moved to " + (dir_ / "spool.jsonl.rejected").string()),
              std::string::npos)
        << flush.message;
    std::ifstream aside(dir_ / "spool.jsonl.rejected");
    std::string line;
    ASSERT_TRUE(std::getline(aside, line));
    EXPECT_EQ(line, "{\"run_id\":\"not-a-uuid\"}");
    EXPECT_EQ(client->SpoolWaiting(), 0u);
}

TEST_F(LineDatabaseTest, AWrongPasswordIsUnreachableWithTheServersReason) {
    const std::string db = PgTestServer::Column(connection_, "SELECT current_database()").at(0);
    EXPECT_TRUE(
        PgTestServer::Execute(connection_, "GRANT ALL ON DATABASE " + db + " TO talvex_pw"));
    const std::string wrong =
        PgTestServer::ConnInfo(db, PgTestServer::kPasswordUser) + " password=wrong";
    std::string whyNot;
    EXPECT_EQ(Client(wrong)->Connect(whyNot), DbState::Unreachable);
    EXPECT_NE(whyNot.find("Cannot reach the line database \"" + db + "\""), std::string::npos)
        << whyNot;
    EXPECT_NE(whyNot.find("password authentication failed"), std::string::npos) << whyNot;
}

TEST(DatabaseSettingProblem, APasswordOrAnUnreadableStringIsRefusedWithItsSource) {
    const struct {
        const char* connection;
        const char* expected; // empty: accepted
    } cases[] = {
        {"host=db dbname=line user=station", ""},
        {"postgresql://station@db/line", ""},
        {"host=db password=secret", "holds a password"},
        {"postgresql://station:secret@db/line", "holds a password"},
        {"host='db", "is not a connection string libpq can read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.connection);
        const std::string problem = DatabaseSettingProblem(c.connection, "[Line] Database");
        if (*c.expected == '\0') {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.expected), std::string::npos) << problem;
            EXPECT_EQ(problem.rfind("[Line] Database", 0), 0u) << problem;
            EXPECT_EQ(problem.find("secret"), std::string::npos) << "never echo the password";
        }
    }
}

} // namespace
} // namespace talvex::testing
