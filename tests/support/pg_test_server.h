#pragma once
// The real PostgreSQL server the tests of the line database run against: a
// throw-away cluster (tools/pg-cluster.sh) that ctest starts before the first
// test that needs it and removes after the last.
//
// Two clusters, so that a test may take its server away while others run:
// - the shared one, for every test: ctest fixture `pg`. Tests isolate
//   themselves with FreshDatabase(), and run in parallel.
// - the away one, for tests that stop and start the server: ctest fixture
//   `pg-away`, and one such test at a time (RESOURCE_LOCK pg-away-server).
//   A test is on it when its suite's name ends in "ServerAway" (kAwaySuffix);
//   tests/db/CMakeLists.txt gives the ctest properties by the same rule.
//   Stop() and Start() work only there.
// Every call below picks the cluster of the test that is running.
//
// The folders are compile definitions of this library (TALVEX_TEST_PG_DIR,
// TALVEX_TEST_PG_AWAY_DIR: /tmp/talvex-pg-<hash of the build folder>[-away]).
// A test program run by hand, outside ctest, needs them started first:
//   tools/pg-cluster.sh start /tmp/talvex-pg-...   (SocketDir() names it)
//
// Roles: "talvex" (superuser, trusted: no password) and kPasswordUser, which
// must give kPassword.

#include <string>
#include <vector>

namespace talvex::testing {

class PgTestServer {
public:
    // The cluster's folder, where its Unix socket is.
    static std::string SocketDir();
    // libpq connection string for a database and role on the test server.
    static std::string ConnInfo(const std::string& dbname, const std::string& user = "talvex");
    // Creates a new, empty database with a unique name (prefix + a number +
    // pid) and returns its connection string (role "talvex"); fails the test
    // (ADD_FAILURE) and returns "" when it cannot.
    static std::string FreshDatabase(const std::string& prefix);
    // The database's name in a connection string FreshDatabase returned.
    static std::string DatabaseName(const std::string& connInfo);

    // Run tools/pg-cluster.sh stop / start on the away cluster. False, with
    // the script's message, when it fails or when the running test is on
    // the shared cluster.
    static bool Stop(std::string& whyNot);
    static bool Start(std::string& whyNot);
    // Runs tools/pg-cluster.sh COMMAND DIR; false with its message when it
    // fails. For tests of the script itself, on a folder of their own.
    static bool RunClusterScript(const std::string& command, const std::string& dir,
                                 std::string& whyNot);

    // Whether a connection with this string is accepted; libpq's message
    // when not.
    static bool Connects(const std::string& connInfo, std::string& whyNot);

    static constexpr const char* kPasswordUser = "talvex_pw";
    static constexpr const char* kPassword = "line-secret";
    static constexpr const char* kAwaySuffix = "ServerAway";

    // One SQL query's first column of every row, as text (NULL as ""), for
    // checks; fails the test and returns nothing when the query fails.
    static std::vector<std::string> Column(const std::string& connInfo, const std::string& sql);
    // The number a "SELECT count(*) ..." returns; fails the test and returns
    // -1 when the query fails or gives anything but one number.
    static long long Count(const std::string& connInfo, const std::string& sql);
    // Runs statements whose results are not needed (CREATE, INSERT, ...);
    // fails the test and returns false when they fail.
    static bool Execute(const std::string& connInfo, const std::string& sql);
};

} // namespace talvex::testing
