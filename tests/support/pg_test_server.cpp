#include "pg_test_server.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

namespace talvex::testing {
namespace {

// tools/pg-cluster.sh puts the socket of every cluster on this port.
constexpr const char* kPort = "5432";
// PostgreSQL cuts longer names short, and the string we hand back would then
// name a database that does not exist.
constexpr std::size_t kMaxIdentifier = 63;

struct ConnCloser {
    void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultClearer {
    void operator()(PGresult* r) const { PQclear(r); }
};
struct ConninfoFreer {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};
struct PipeCloser {
    void operator()(FILE* f) const { pclose(f); }
};
using Conn = std::unique_ptr<PGconn, ConnCloser>;
using Result = std::unique_ptr<PGresult, ResultClearer>;

// libpq's messages end in a newline that would split our own.
std::string Trimmed(const char* message) {
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string Quoted(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

bool RunningTestIsAway() {
    const auto* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
    if (suite == nullptr) return false;
    const std::string_view name = suite->name();
    const std::string_view suffix = PgTestServer::kAwaySuffix;
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

// Connects, or says why not in whyNot (with a hint when the server is not
// there at all, the usual cause being a test program run outside ctest).
Conn Connect(const std::string& connInfo, std::string& whyNot) {
    Conn conn(PQconnectdb(connInfo.c_str()));
    if (conn == nullptr) {
        whyNot = "libpq could not allocate a connection";
        return nullptr;
    }
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        whyNot = "cannot connect to the test server (" + connInfo +
                 "): " + Trimmed(PQerrorMessage(conn.get()));
        if (whyNot.find("No such file or directory") != std::string::npos) {
            whyNot += " [ctest starts the server; by hand: tools/pg-cluster.sh start " +
                      PgTestServer::SocketDir() + "]";
        }
        return nullptr;
    }
    return conn;
}

// Runs sql; a null result, and the failure recorded, when it fails.
Result Query(const std::string& connInfo, const std::string& sql) {
    std::string whyNot;
    Conn conn = Connect(connInfo, whyNot);
    if (conn == nullptr) {
        ADD_FAILURE() << whyNot;
        return nullptr;
    }
    Result result(PQexec(conn.get(), sql.c_str()));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        ADD_FAILURE() << "query failed on " << connInfo << ": " << sql << ": "
                      << Trimmed(PQerrorMessage(conn.get()));
        return nullptr;
    }
    return result;
}

std::string AwayDirOr(std::string& whyNot) {
    if (RunningTestIsAway()) return TALVEX_TEST_PG_AWAY_DIR;
    whyNot = std::string("only tests whose suite's name ends in \"") + PgTestServer::kAwaySuffix +
             "\" may stop or start the test server: the others share the one they run on";
    return "";
}

} // namespace

std::string PgTestServer::SocketDir() {
    return RunningTestIsAway() ? TALVEX_TEST_PG_AWAY_DIR : TALVEX_TEST_PG_DIR;
}

std::string PgTestServer::ConnInfo(const std::string& dbname, const std::string& user) {
    return "host=" + Quoted(SocketDir()) + " port=" + kPort + " dbname=" + Quoted(dbname) +
           " user=" + Quoted(user) + " connect_timeout=10";
}

std::string PgTestServer::FreshDatabase(const std::string& prefix) {
    static std::atomic<unsigned> next{0};
    std::string whyNot;
    Conn conn = Connect(ConnInfo("postgres"), whyNot);
    if (conn == nullptr) {
        ADD_FAILURE() << "cannot make a database for the test: " << whyNot;
        return "";
    }
    // A database of the same name may be left by an earlier run on a
    // cluster started by hand: the next number is tried then.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string suffix =
            "_" + std::to_string(next.fetch_add(1)) + "_" + std::to_string(getpid());
        const std::string name = prefix.substr(0, kMaxIdentifier - suffix.size()) + suffix;
        std::unique_ptr<char, decltype(&PQfreemem)> quoted(
            PQescapeIdentifier(conn.get(), name.c_str(), name.size()), &PQfreemem);
        if (quoted == nullptr) {
            ADD_FAILURE() << "cannot quote the database name " << name << ": "
                          << Trimmed(PQerrorMessage(conn.get()));
            return "";
        }
        // template0: nobody is ever connected to it, so databases can be
        // made from it in parallel.
        const std::string sql =
            "CREATE DATABASE " + std::string(quoted.get()) + " TEMPLATE template0";
        Result result(PQexec(conn.get(), sql.c_str()));
        if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) return ConnInfo(name);
        const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
        if (state != nullptr && std::string_view(state) == "42P04") continue; // duplicate_database
        ADD_FAILURE() << "cannot create the test database " << name << " in " << SocketDir() << ": "
                      << Trimmed(PQerrorMessage(conn.get()));
        return "";
    }
    ADD_FAILURE() << "cannot create a test database named " << prefix
                  << "_N_PID: every name tried exists";
    return "";
}

std::string PgTestServer::DatabaseName(const std::string& connInfo) {
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, ConninfoFreer> options(
        PQconninfoParse(connInfo.c_str(), &error));
    if (options == nullptr) {
        ADD_FAILURE() << "not a connection string: " << connInfo << ": " << Trimmed(error);
        PQfreemem(error);
        return "";
    }
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (std::string_view(o->keyword) == "dbname" && o->val != nullptr) return o->val;
    }
    return "";
}

bool PgTestServer::RunClusterScript(const std::string& command, const std::string& dir,
                                    std::string& whyNot) {
    const std::string line =
        "sh " + Quoted(TALVEX_PG_CLUSTER_SCRIPT) + " " + command + " " + Quoted(dir) + " 2>&1";
    std::unique_ptr<FILE, PipeCloser> pipe(popen(line.c_str(), "r"));
    if (pipe == nullptr) {
        whyNot = "cannot run " + line + ": " + std::strerror(errno);
        return false;
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
    const int status = pclose(pipe.release());
    if (status == 0) return true;
    whyNot = "pg-cluster.sh " + command + " " + dir + " failed (status " + std::to_string(status) +
             "): " + Trimmed(output.c_str());
    return false;
}

bool PgTestServer::Stop(std::string& whyNot) {
    const std::string dir = AwayDirOr(whyNot);
    return !dir.empty() && RunClusterScript("stop", dir, whyNot);
}

bool PgTestServer::Start(std::string& whyNot) {
    const std::string dir = AwayDirOr(whyNot);
    return !dir.empty() && RunClusterScript("start", dir, whyNot);
}

bool PgTestServer::Connects(const std::string& connInfo, std::string& whyNot) {
    return Connect(connInfo, whyNot) != nullptr;
}

std::vector<std::string> PgTestServer::Column(const std::string& connInfo, const std::string& sql) {
    std::vector<std::string> values;
    Result result = Query(connInfo, sql);
    if (result == nullptr) return values;
    if (PQnfields(result.get()) < 1) {
        ADD_FAILURE() << "query gave no column: " << sql;
        return values;
    }
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        values.emplace_back(PQgetvalue(result.get(), row, 0));
    }
    return values;
}

long long PgTestServer::Count(const std::string& connInfo, const std::string& sql) {
    const std::vector<std::string> values = Column(connInfo, sql);
    if (values.size() != 1) {
        ADD_FAILURE() << "expected one count, got " << values.size() << " rows: " << sql;
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    const long long count = std::strtoll(values[0].c_str(), &end, 10);
    if (values[0].empty() || *end != '\0' || errno != 0) {
        ADD_FAILURE() << "expected a count, got \"" << values[0] << "\": " << sql;
        return -1;
    }
    return count;
}

bool PgTestServer::Execute(const std::string& connInfo, const std::string& sql) {
    return Query(connInfo, sql) != nullptr;
}

} // namespace talvex::testing
