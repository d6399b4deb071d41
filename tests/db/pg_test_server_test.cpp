// The test server every database test stands on: that it answers as the
// tests expect, keeps their databases apart, asks the password role for its
// password, and keeps its data across a stop and a start.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "deadline_wait.h"
#include "pg_test_server.h"

namespace {

using talvex::testing::PgTestServer;

TEST(PgTestServer, AnswersOnItsSocketOnlyWithTheSettingsOfAThrowAwayServer) {
    const std::string conn = PgTestServer::ConnInfo("postgres");
    struct Setting {
        const char* name;
        std::string expected;
    };
    const std::vector<Setting> settings = {
        {"listen_addresses", ""}, // no TCP port: nothing outside this machine's folder reaches it
        {"unix_socket_directories", PgTestServer::SocketDir()},
        {"fsync", "off"},
        {"synchronous_commit", "off"},
        {"full_page_writes", "off"},
    };
    for (const auto& s : settings) {
        EXPECT_EQ(PgTestServer::Column(conn, std::string("SHOW ") + s.name),
                  std::vector<std::string>{s.expected})
            << s.name;
    }
    // Four stations with a gang of 16 each, and the tests beside them.
    EXPECT_GE(PgTestServer::Count(conn, "SELECT current_setting('max_connections')::int"), 4 * 16);
    EXPECT_EQ(PgTestServer::Column(conn, "SELECT current_user"),
              std::vector<std::string>{"talvex"});
    EXPECT_EQ(PgTestServer::Column(conn,
                                   "SELECT rolsuper::text FROM pg_roles WHERE rolname = "
                                   "current_user"),
              std::vector<std::string>{"true"});
}

TEST(PgTestServer, FreshDatabasesAreDistinctAndEmpty) {
    const std::string first = PgTestServer::FreshDatabase("fresh");
    const std::string second = PgTestServer::FreshDatabase("fresh");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    const std::string firstName = PgTestServer::DatabaseName(first);
    const std::string secondName = PgTestServer::DatabaseName(second);
    EXPECT_NE(firstName, secondName);
    EXPECT_EQ(PgTestServer::Column(first, "SELECT current_database()"),
              std::vector<std::string>{firstName});
    EXPECT_EQ(PgTestServer::Column(second, "SELECT current_database()"),
              std::vector<std::string>{secondName});

    const char* tables =
        "SELECT count(*) FROM information_schema.tables WHERE table_schema = 'public'";
    EXPECT_EQ(PgTestServer::Count(first, tables), 0);
    ASSERT_TRUE(PgTestServer::Execute(first, "CREATE TABLE board (serial int)"));
    EXPECT_EQ(PgTestServer::Count(first, tables), 1);
    EXPECT_EQ(PgTestServer::Count(second, tables), 0);
}

TEST(PgTestServer, FreshDatabaseKeepsALongPrefixWithinTheLengthOfAName) {
    // The server would cut the name short, and the string handed back would
    // name a database that does not exist.
    const std::string prefix(80, 'p');
    const std::string conn = PgTestServer::FreshDatabase(prefix);
    ASSERT_FALSE(conn.empty());
    const std::string name = PgTestServer::DatabaseName(conn);
    EXPECT_LE(name.size(), 63U);
    EXPECT_EQ(name.rfind("ppp", 0), 0U) << name;
    EXPECT_EQ(PgTestServer::Column(conn, "SELECT current_database()"),
              std::vector<std::string>{name});
}

TEST(PgTestServer, PasswordRoleConnectsOnlyWithItsPassword) {
    const std::string db = PgTestServer::DatabaseName(PgTestServer::FreshDatabase("password"));
    ASSERT_FALSE(db.empty());
    const std::string base = PgTestServer::ConnInfo(db, PgTestServer::kPasswordUser);
    struct Case {
        const char* what;
        std::string password;
        bool connects;
    };
    const std::vector<Case> cases = {
        {"right password", PgTestServer::kPassword, true},
        {"wrong password", "not-the-secret", false},
        {"the password of another case", "Line-Secret", false},
    };
    for (const auto& c : cases) {
        std::string whyNot;
        const std::string conn = base + " password='" + c.password + "'";
        EXPECT_EQ(PgTestServer::Connects(conn, whyNot), c.connects) << c.what << ": " << whyNot;
        if (c.connects) {
            EXPECT_EQ(PgTestServer::Column(conn, "SELECT current_user"),
                      std::vector<std::string>{PgTestServer::kPasswordUser});
        } else {
            EXPECT_NE(whyNot.find("password authentication failed"), std::string::npos)
                << c.what << ": " << whyNot;
        }
    }
}

TEST(PgTestServer, QueryFailuresNameTheQueryAndTheServersReason) {
    const std::string conn = PgTestServer::ConnInfo("postgres");
    EXPECT_NONFATAL_FAILURE(PgTestServer::Column(conn, "SELECT * FROM no_such_table"),
                            "relation \"no_such_table\" does not exist");
    EXPECT_NONFATAL_FAILURE(EXPECT_EQ(PgTestServer::Count(conn, "SELECT 'many'"), -1),
                            "expected a count, got \"many\"");
    EXPECT_NONFATAL_FAILURE(
        PgTestServer::Execute(PgTestServer::ConnInfo("no_such_database"), "SELECT 1"),
        "database \"no_such_database\" does not exist");
}

TEST(PgTestServer, StopIsRefusedOnTheSharedServer) {
    std::string whyNot;
    EXPECT_FALSE(PgTestServer::Stop(whyNot));
    EXPECT_NE(whyNot.find(PgTestServer::kAwaySuffix), std::string::npos) << whyNot;
    EXPECT_TRUE(PgTestServer::Connects(PgTestServer::ConnInfo("postgres"), whyNot)) << whyNot;
}

// The script itself, on a cluster of its own that no other test uses.
TEST(PgClusterScript, StartCopesWithAServerThatDiedAndRemoveTakesOnlyItsOwnFolders) {
    const std::string dir = PgTestServer::SocketDir() + "-script";
    std::string whyNot;
    ASSERT_TRUE(PgTestServer::RunClusterScript("new", dir, whyNot)) << whyNot;
    const std::string conn = "host='" + dir + "' port=5432 dbname=postgres user=talvex";
    ASSERT_TRUE(PgTestServer::Connects(conn, whyNot)) << whyNot;
    // Commits are not waited for on this server: without the checkpoint the
    // kill below could take the row with it.
    ASSERT_TRUE(
        PgTestServer::Execute(conn, "CREATE TABLE kept (n int); INSERT INTO kept VALUES (7)"));
    ASSERT_TRUE(PgTestServer::Execute(conn, "CHECKPOINT"));

    // An aborted run's server killed outright leaves its lock files, and
    // here possibly a zombie that still answers to its pid.
    pid_t postmaster = 0;
    std::ifstream(dir + "/data/postmaster.pid") >> postmaster;
    ASSERT_GT(postmaster, 0);
    ASSERT_EQ(kill(postmaster, SIGKILL), 0);
    const auto dead = [&] {
        std::string state;
        std::ifstream stat("/proc/" + std::to_string(postmaster) + "/stat");
        if (!stat) return true;
        std::getline(stat, state);
        return state.substr(state.rfind(')') + 2, 1) == "Z";
    };
    ASSERT_TRUE(talvex::testing::WaitUntil(dead, std::chrono::seconds(10)));

    EXPECT_TRUE(PgTestServer::RunClusterScript("start", dir, whyNot)) << whyNot;
    EXPECT_EQ(PgTestServer::Count(conn, "SELECT count(*) FROM kept"), 1);
    // Starting a running server again leaves it running.
    EXPECT_TRUE(PgTestServer::RunClusterScript("start", dir, whyNot)) << whyNot;
    EXPECT_TRUE(PgTestServer::Connects(conn, whyNot)) << whyNot;

    EXPECT_TRUE(PgTestServer::RunClusterScript("remove", dir, whyNot)) << whyNot;
    EXPECT_NE(access(dir.c_str(), F_OK), 0) << dir << " is still there";

    // A folder the script did not make is never deleted, nor taken over.
    const std::string foreign = dir + "-foreign";
    ASSERT_EQ(system(("mkdir -p '" + foreign + "' && touch '" + foreign + "/keep'").c_str()), 0);
    struct Case {
        const char* command;
        const char* message;
    };
    for (const Case& c : {Case{"remove", "not a test cluster"}, Case{"new", "not a test cluster"},
                          Case{"start", "holds files of its own"}}) {
        EXPECT_FALSE(PgTestServer::RunClusterScript(c.command, foreign, whyNot)) << c.command;
        EXPECT_NE(whyNot.find(c.message), std::string::npos) << c.command << ": " << whyNot;
    }
    EXPECT_EQ(access((foreign + "/.talvex-pg-cluster").c_str(), F_OK), -1)
        << "a folder of someone else's was marked as a test cluster";
    EXPECT_EQ(access((foreign + "/keep").c_str(), F_OK), 0);
    EXPECT_EQ(system(("rm -rf '" + foreign + "'").c_str()), 0);
}

TEST(PgClusterServerAway, StopThenStartKeepsTheRows) {
    const std::string conn = PgTestServer::FreshDatabase("away");
    ASSERT_FALSE(conn.empty());
    EXPECT_EQ(PgTestServer::SocketDir().substr(PgTestServer::SocketDir().size() - 5), "-away");
    ASSERT_TRUE(PgTestServer::Execute(
        conn, "CREATE TABLE run (id int); INSERT INTO run SELECT generate_series(1, 400)"));

    std::string whyNot;
    ASSERT_TRUE(PgTestServer::Stop(whyNot)) << whyNot;
    EXPECT_FALSE(PgTestServer::Connects(conn, whyNot));
    // Stopping a server that is not running is no error.
    EXPECT_TRUE(PgTestServer::Stop(whyNot)) << whyNot;

    ASSERT_TRUE(PgTestServer::Start(whyNot)) << whyNot;
    EXPECT_EQ(PgTestServer::Count(conn, "SELECT count(*) FROM run"), 400);
    EXPECT_EQ(PgTestServer::Count(conn, "SELECT sum(id) FROM run"), 400 * 401 / 2);
}

} // namespace
