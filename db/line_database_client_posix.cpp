#include "line_database_client.h"

#include <libpq-fe.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>

#include "record_spool.h"
#include "run_record.h"

namespace talvex {
namespace {

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnDeleter>;
struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;
struct OptionsDeleter {
    void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};

// libpq's messages end with a line end, may run over several lines
// (indented), and may end in a full stop of their own.
std::string OneLine(const char* text) {
    std::string out;
    bool gap = false;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (*p == '\n' || *p == '\r') {
            gap = !out.empty();
            continue;
        }
        if (gap && (*p == ' ' || *p == '\t')) continue;
        if (gap) out += "; ";
        gap = false;
        out += *p;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == '?' || out.back() == ' ')) {
        out.pop_back();
    }
    return out.empty() ? "no reason given" : out;
}

// Version 1: the counters and the numbers they handed out.
constexpr const char* kMigration1 = R"sql(
CREATE TABLE IF NOT EXISTS talvex_counter (
    name text PRIMARY KEY,
    next_number bigint NOT NULL CHECK (next_number >= 0),
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS talvex_serial (
    counter text NOT NULL REFERENCES talvex_counter (name),
    number bigint NOT NULL,
    taken_at timestamptz NOT NULL DEFAULT now(),
    station text NOT NULL,
    port text NOT NULL,
    PRIMARY KEY (counter, number)
);
)sql";

// Version 2: one row per run, and whether each number was burned.
constexpr const char* kMigration2 = R"sql(
ALTER TABLE talvex_serial ADD COLUMN IF NOT EXISTS burned boolean;
ALTER TABLE talvex_serial ADD COLUMN IF NOT EXISTS run_id uuid;
CREATE TABLE IF NOT EXISTS talvex_run (
    run_id uuid PRIMARY KEY,
    started_at timestamptz NOT NULL,
    station text NOT NULL,
    host text NOT NULL,
    port text NOT NULL,
    part text NOT NULL,
    identification text,
    download boolean NOT NULL,
    serial bigint,
    counter text,
    image_path text,
    image_sha256 text,
    written_sha256 text,
    asked jsonb NOT NULL,
    code integer NOT NULL,
    meaning text NOT NULL,
    failure text,
    duration_ms double precision,
    record jsonb NOT NULL,
    stored_at timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS talvex_run_started ON talvex_run (started_at);
CREATE INDEX IF NOT EXISTS talvex_run_part ON talvex_run (part, started_at);
)sql";

constexpr const char* kMigrations[] = {kMigration1, kMigration2};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kLineSchemaVersion);

// Stations running --db-init at once take turns.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(1413568598)";

// The number and the row that says who took it, in one statement and so
// one transaction; the counter's row lock makes other stations wait their
// turn. No row: the counter is missing or past Last.
constexpr const char* kTakeSerial = R"sql(
WITH taken AS (
    UPDATE talvex_counter SET next_number = next_number + $2::bigint
    WHERE name = $1 AND ($3::bigint IS NULL OR next_number <= $3::bigint)
    RETURNING next_number - $2::bigint AS number)
INSERT INTO talvex_serial (counter, number, station, port)
SELECT $1, number, $4, $5 FROM taken RETURNING number
)sql";

constexpr const char* kReportRows = R"sql(
SELECT (extract(epoch FROM started_at) * 1000)::bigint, station, port, part,
    coalesce(image_path, ''), coalesce(image_sha256, ''), code, serial, download
FROM talvex_run ORDER BY started_at, run_id
)sql";

constexpr const char* kPeekSerial = "SELECT next_number FROM talvex_counter WHERE name = $1";

// A record delivered again (from the spool, after an answer that was lost)
// changes nothing. The columns come from the record itself, so a spooled
// line and a live one are stored alike.
constexpr const char* kStoreRun = R"sql(
WITH r AS (SELECT $1::jsonb AS j),
stored AS (
    INSERT INTO talvex_run (run_id, started_at, station, host, port, part, identification,
        download, serial, counter, image_path, image_sha256, written_sha256, asked, code,
        meaning, failure, duration_ms, record)
    SELECT (j->>'run_id')::uuid, (j->>'start')::timestamptz,
        coalesce(nullif(j->>'station', ''), j->>'host', ''), coalesce(j->>'host', ''),
        coalesce(j->>'port', ''), coalesce(j->>'part', ''), j->>'id',
        jsonb_typeof(j->'image') = 'object', (j->'serial'->>'number')::bigint,
        j->'serial'->>'counter', j->'image'->>'path', j->'image'->>'sha256',
        j->'image'->>'written_sha256', coalesce(j->'asked', '{}'::jsonb),
        (j->'result'->>'code')::integer, coalesce(j->'result'->>'meaning', ''),
        j->'result'->>'message', (j->>'duration_ms')::double precision, j
    FROM r
    ON CONFLICT (run_id) DO NOTHING
    RETURNING run_id, serial, counter, code),
marked AS (
    UPDATE talvex_serial s SET burned = (stored.code <> 0), run_id = stored.run_id
    FROM stored
    WHERE stored.counter LIKE 'db:%' AND s.counter = substr(stored.counter, 4)
        AND s.number = stored.serial
    RETURNING 1)
SELECT (SELECT count(*) FROM stored), (SELECT count(*) FROM marked)
)sql";

struct Statement {
    const char* name;
    const char* text;
};
constexpr Statement kStatements[] = {
    {"talvex_take_serial", kTakeSerial},
    {"talvex_peek_serial", kPeekSerial},
    {"talvex_store_run", kStoreRun},
    {"talvex_report_rows", kReportRows},
};

DbState StateOf(CounterStatus status) {
    switch (status) {
    case CounterStatus::Taken: return DbState::Done;
    case CounterStatus::Unreachable: return DbState::Unreachable;
    default: return DbState::Refused;
    }
}

} // namespace

std::string DatabaseSettingProblem(const std::string& connection, const std::string& source) {
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, OptionsDeleter> options(
        PQconninfoParse(connection.c_str(), &error));
    if (!options) {
        std::string reason = OneLine(error);
        PQfreemem(error);
        return source + " is not a connection string libpq can read: " + reason + ".";
    }
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (std::string(o->keyword) == "password" && o->val != nullptr && *o->val != '\0') {
            return source +
                   " holds a password. Keep it out of the settings file, which every station "
                   "copies: put it in ~/.pgpass (mode 0600) or the PGPASSWORD environment "
                   "variable.";
        }
    }
    return {};
}

struct LineDatabaseClient::Impl {
    LineDatabaseOptions options;
    RecordSpool spool;
    std::string station;
    mutable std::mutex mutex; // one statement at a time on the one connection
    ConnPtr conn;
    bool ready = false; // connected, schema checked, statements prepared
    std::string server;

    explicit Impl(LineDatabaseOptions o)
        : options(std::move(o)),
          spool(options.spool),
          station(options.station.empty() ? HostName() : options.station) {}

    std::string Describe(PGconn* c) const {
        if (c == nullptr) return "the line database (" + options.source + ")";
        const char* host = PQhost(c);
        const char* port = PQport(c);
        const char* db = PQdb(c);
        return std::string("the line database \"") + (db ? db : "") + "\" at " +
               (host && *host ? host : "the default socket") + ":" +
               (port && *port ? port : "5432");
    }

    // Opens the connection (or opens it again after the server went away)
    // and readies it. Unreachable: the server could not be reached or
    // refused us; Problem: it answered but cannot serve (no schema).
    CounterStatus Ready(std::string& whyNot, bool needSchema = true) {
        if (ready && conn && PQstatus(conn.get()) == CONNECTION_OK) return CounterStatus::Taken;
        ready = false;
        if (conn && PQstatus(conn.get()) != CONNECTION_OK) PQreset(conn.get());
        if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
            // The settings' own values win; ours are only defaults: a bounded
            // wait for the connection, and a name the server's logs show.
            const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname",
                                  nullptr};
            const char* values[] = {"10", "talvex", options.connection.c_str(), nullptr};
            conn.reset(PQconnectdbParams(keys, values, 1));
            if (!conn) {
                whyNot = "Cannot reach " + Describe(nullptr) + ": out of memory.";
                return CounterStatus::Unreachable;
            }
        }
        server = Describe(conn.get());
        if (PQstatus(conn.get()) != CONNECTION_OK) {
            whyNot = "Cannot reach " + server + ": " + OneLine(PQerrorMessage(conn.get())) + ".";
            return CounterStatus::Unreachable;
        }
        // A statement that waits longer than this waits for something that
        // is not coming (a lock held by a stopped session).
        ResultPtr set(
            PQexec(conn.get(), "SET statement_timeout = 30000; SET client_min_messages = warning"));
        if (PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
            whyNot = Failure("could not be set up", set.get());
            return LostOr(CounterStatus::Problem);
        }
        if (!needSchema) return CounterStatus::Taken;
        const int version = Version(whyNot);
        if (version < 0) return LostOr(CounterStatus::Problem);
        if (version != kLineSchemaVersion) {
            whyNot = version == 0 ? server +
                                        " holds no TALVEX tables; create them with "
                                        "talvex-cli --db-init."
                     : version < kLineSchemaVersion
                         ? server + " is at schema version " + std::to_string(version) +
                               "; upgrade it to " + std::to_string(kLineSchemaVersion) +
                               " with talvex-cli --db-init."
                         : server + " is at schema version " + std::to_string(version) +
                               ", newer than this TALVEX knows (" +
                               std::to_string(kLineSchemaVersion) + "); update TALVEX.";
            return CounterStatus::Problem;
        }
        for (const Statement& s : kStatements) {
            ResultPtr prepared(PQprepare(conn.get(), s.name, s.text, 0, nullptr));
            if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
                whyNot = Failure("could not prepare its statements", prepared.get());
                return LostOr(CounterStatus::Problem);
            }
        }
        ready = true;
        return CounterStatus::Taken;
    }

    CounterStatus LostOr(CounterStatus status) const {
        return conn && PQstatus(conn.get()) != CONNECTION_OK ? CounterStatus::Unreachable : status;
    }

    std::string Failure(const std::string& what, const PGresult* result) const {
        const char* message = result != nullptr ? PQresultErrorMessage(result) : "";
        if (message == nullptr || *message == '\0') message = PQerrorMessage(conn.get());
        return server + " " + what + ": " + OneLine(message) + ".";
    }

    int Version(std::string& whyNot) {
        ResultPtr exists(PQexec(conn.get(), "SELECT to_regclass('talvex_schema') IS NOT NULL"));
        if (PQresultStatus(exists.get()) != PGRES_TUPLES_OK) {
            whyNot = Failure("could not be asked for its schema", exists.get());
            return -1;
        }
        if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") return 0;
        ResultPtr version(
            PQexec(conn.get(), "SELECT coalesce(max(version), 0) FROM talvex_schema"));
        if (PQresultStatus(version.get()) != PGRES_TUPLES_OK) {
            whyNot = Failure("could not be asked for its schema", version.get());
            return -1;
        }
        return std::atoi(PQgetvalue(version.get(), 0, 0));
    }

    // Runs a prepared statement; after a connection that was lost since
    // the last use (a server restarted between boards), connects once
    // more and runs it again.
    ResultPtr Run(const char* name, int count, const char* const* params, CounterStatus& status,
                  std::string& whyNot) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            status = Ready(whyNot);
            if (status != CounterStatus::Taken) return nullptr;
            ResultPtr result(PQexecPrepared(conn.get(), name, count, params, nullptr, nullptr, 0));
            const ExecStatusType s = PQresultStatus(result.get());
            if (s == PGRES_TUPLES_OK || s == PGRES_COMMAND_OK) return result;
            whyNot = Failure("refused the statement", result.get());
            status = LostOr(CounterStatus::Problem);
            if (status != CounterStatus::Unreachable) return nullptr;
            ready = false;
            whyNot = "Lost " + server + ": " + OneLine(PQerrorMessage(conn.get())) + ".";
        }
        return nullptr;
    }

    // One record into the database. Unreachable when it could not be asked.
    CounterStatus Store(const std::string& line, std::string& whyNot) {
        const std::lock_guard<std::mutex> lock(mutex);
        const char* params[] = {line.c_str()};
        CounterStatus status = CounterStatus::Taken;
        Run("talvex_store_run", 1, params, status, whyNot);
        return status;
    }
};

LineDatabaseClient::LineDatabaseClient(LineDatabaseOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

LineDatabaseClient::~LineDatabaseClient() = default;

DbState LineDatabaseClient::Connect(std::string& whyNot) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return StateOf(impl_->Ready(whyNot));
}

std::string LineDatabaseClient::Server() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->server.empty() ? impl_->Describe(nullptr) : impl_->server;
}

int LineDatabaseClient::SchemaVersion(std::string& whyNot) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->Ready(whyNot, false) != CounterStatus::Taken) return -1;
    return impl_->Version(whyNot);
}

DbState LineDatabaseClient::InitSchema(const std::optional<SerialSettings>& counter,
                                       std::string& report, std::string& whyNot,
                                       int targetVersion) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl& d = *impl_;
    const CounterStatus ready = d.Ready(whyNot, false);
    if (ready != CounterStatus::Taken) return StateOf(ready);
    PGconn* c = d.conn.get();
    const auto exec = [&](const char* sql, const std::string& what) {
        ResultPtr result(PQexec(c, sql));
        const ExecStatusType s = PQresultStatus(result.get());
        if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) return true;
        whyNot = d.Failure(what, result.get());
        return false;
    };
    const auto rollback = [&] {
        ResultPtr ignored(PQexec(c, "ROLLBACK"));
        return StateOf(d.LostOr(CounterStatus::Problem));
    };
    if (!exec("BEGIN", "could not begin the upgrade")) return rollback();
    if (!exec(kSchemaLock, "could not be locked for the upgrade") ||
        !exec("CREATE TABLE IF NOT EXISTS talvex_schema (version integer NOT NULL, "
              "upgraded_at timestamptz NOT NULL DEFAULT now())",
              "could not make the schema version table")) {
        return rollback();
    }
    const int from = d.Version(whyNot);
    if (from < 0) return rollback();
    if (from > kLineSchemaVersion) {
        whyNot = d.server + " is at schema version " + std::to_string(from) +
                 ", newer than this TALVEX knows (" + std::to_string(kLineSchemaVersion) +
                 "); update TALVEX.";
        return rollback();
    }
    for (int v = from + 1; v <= targetVersion; ++v) {
        if (!exec(kMigrations[v - 1],
                  "could not be upgraded to schema version " + std::to_string(v))) {
            return rollback();
        }
    }
    const int now = from < targetVersion ? targetVersion : from;
    const std::string setVersion =
        "DELETE FROM talvex_schema; INSERT INTO talvex_schema (version) VALUES (" +
        std::to_string(now) + ")";
    if (now != from && !exec(setVersion.c_str(), "could not record its schema version")) {
        return rollback();
    }
    std::string counterLine;
    if (counter && !counter->counterDb.empty() && now >= 1) {
        if (counter->first > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            whyNot = "[Serial] First=" + std::to_string(counter->first) +
                     " is past the largest number the database holds.";
            return rollback();
        }
        const std::string first = std::to_string(counter->first);
        const char* params[] = {counter->counterDb.c_str(), first.c_str()};
        ResultPtr created(PQexecParams(c,
                                       "INSERT INTO talvex_counter (name, next_number) VALUES "
                                       "($1, $2::bigint) ON CONFLICT (name) DO NOTHING "
                                       "RETURNING next_number",
                                       2, nullptr, params, nullptr, nullptr, 0));
        if (PQresultStatus(created.get()) != PGRES_TUPLES_OK) {
            whyNot = d.Failure("could not create counter " + counter->counterDb, created.get());
            return rollback();
        }
        if (PQntuples(created.get()) == 1) {
            counterLine =
                "Counter " + counter->counterDb + " created; its first number is " + first + ".";
        } else {
            ResultPtr next(PQexecParams(c, kPeekSerial, 1, nullptr, params, nullptr, nullptr, 0));
            const std::string value =
                PQresultStatus(next.get()) == PGRES_TUPLES_OK && PQntuples(next.get()) == 1
                    ? PQgetvalue(next.get(), 0, 0)
                    : "unknown";
            counterLine =
                "Counter " + counter->counterDb + " kept; its next number is " + value + ".";
        }
    }
    if (!exec("COMMIT", "could not commit the upgrade")) return rollback();
    std::string server = d.server;
    server[0] = 'T';
    report = now == from
                 ? server + " is at schema version " + std::to_string(now) + "; nothing to upgrade."
                 : server + " upgraded from schema version " + std::to_string(from) + " to " +
                       std::to_string(now) + ".";
    if (!counterLine.empty()) report += "\n" + counterLine;
    d.ready = false; // statements are prepared for the schema as it is now
    return DbState::Done;
}

CounterResult LineDatabaseClient::TakeSerial(const SerialSettings& serial,
                                             const std::string& port) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl& d = *impl_;
    CounterResult out;
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (serial.step > limit || (serial.last && *serial.last > limit)) {
        out.message =
            "[Serial] Step or Last is past the largest number the database holds; "
            "no serial number was taken.";
        return out;
    }
    const std::string step = std::to_string(serial.step);
    const std::string last = serial.last ? std::to_string(*serial.last) : std::string();
    const char* params[] = {serial.counterDb.c_str(), step.c_str(),
                            serial.last ? last.c_str() : nullptr, d.station.c_str(), port.c_str()};
    CounterStatus status = CounterStatus::Taken;
    std::string whyNot;
    const auto notAsked = [&] {
        out.status = status;
        out.message = whyNot + " No serial number was taken; nothing was erased.";
        return out;
    };
    ResultPtr taken = d.Run("talvex_take_serial", 5, params, status, whyNot);
    if (!taken) return notAsked();
    if (PQntuples(taken.get()) == 1) {
        out.status = CounterStatus::Taken;
        out.number = std::strtoull(PQgetvalue(taken.get(), 0, 0), nullptr, 10);
        return out;
    }
    // Nothing taken: tell a missing counter from one past Last.
    const char* name[] = {serial.counterDb.c_str()};
    ResultPtr next = d.Run("talvex_peek_serial", 1, name, status, whyNot);
    if (!next) return notAsked();
    if (PQntuples(next.get()) == 0) {
        out.message = "Counter " + serial.counterDb + " is not in " + d.server +
                      "; create it with talvex-cli --db-init. No serial number was taken.";
        return out;
    }
    out.status = CounterStatus::UsedUp;
    out.number = std::strtoull(PQgetvalue(next.get(), 0, 0), nullptr, 10);
    out.message = "Counter " + serial.counterDb + " in " + d.server +
                  " is used up: its next number " + std::to_string(out.number) +
                  " is past [Serial] Last=" + last + ". No serial number was taken.";
    return out;
}

CounterResult LineDatabaseClient::PeekSerial(const SerialSettings& serial) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl& d = *impl_;
    CounterResult out;
    const char* name[] = {serial.counterDb.c_str()};
    CounterStatus status = CounterStatus::Taken;
    std::string whyNot;
    ResultPtr next = d.Run("talvex_peek_serial", 1, name, status, whyNot);
    if (!next) {
        out.status = status;
        out.message = whyNot;
        return out;
    }
    if (PQntuples(next.get()) == 0) {
        out.message = "Counter " + serial.counterDb + " is not in " + d.server +
                      "; create it with talvex-cli --db-init.";
        return out;
    }
    out.number = std::strtoull(PQgetvalue(next.get(), 0, 0), nullptr, 10);
    out.status =
        serial.last && out.number > *serial.last ? CounterStatus::UsedUp : CounterStatus::Taken;
    if (out.status == CounterStatus::UsedUp) {
        out.message = "Counter " + serial.counterDb + " in " + d.server +
                      " is used up: its next number " + std::to_string(out.number) +
                      " is past [Serial] Last=" + std::to_string(*serial.last) + ".";
    }
    return out;
}

RecordDelivery LineDatabaseClient::StoreRecord(const std::string& line) {
    RecordDelivery delivery;
    std::string whyNot;
    const CounterStatus status = impl_->Store(line, whyNot);
    if (status == CounterStatus::Taken) {
        delivery.stored = true;
        return delivery;
    }
    // Away or refusing: the record waits in the spool, outside the
    // database's lock, so that a flush in hand is not kept waiting.
    std::string spoolWhy;
    const std::unique_ptr<FileLock> spoolLock = impl_->spool.Lock(spoolWhy);
    if (spoolLock && impl_->spool.Append(line, spoolWhy)) {
        delivery.spooled = true;
        delivery.message = whyNot + " The run record waits in " + impl_->spool.Path() +
                           " until talvex-cli --db-flush or the next start delivers it.";
    } else {
        delivery.message = whyNot + " The run record could not be kept in " + impl_->spool.Path() +
                           " either (" + spoolWhy + ").";
    }
    return delivery;
}

DbState LineDatabaseClient::ReportRows(std::vector<ReportRow>& rows, std::string& whyNot) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    CounterStatus status = CounterStatus::Taken;
    ResultPtr result = impl_->Run("talvex_report_rows", 0, nullptr, status, whyNot);
    if (!result) return StateOf(status);
    const int count = PQntuples(result.get());
    rows.clear();
    rows.reserve(static_cast<std::size_t>(count));
    const auto text = [&](int row, int column) {
        return std::string(PQgetvalue(result.get(), row, column));
    };
    for (int i = 0; i < count; ++i) {
        ReportRow row;
        row.startUnixMs = std::strtoll(PQgetvalue(result.get(), i, 0), nullptr, 10);
        row.station = text(i, 1);
        row.port = text(i, 2);
        row.part = text(i, 3);
        row.imagePath = text(i, 4);
        row.imageSha256 = text(i, 5);
        row.code = std::atoi(PQgetvalue(result.get(), i, 6));
        if (PQgetisnull(result.get(), i, 7) == 0) {
            row.serial = std::strtoull(PQgetvalue(result.get(), i, 7), nullptr, 10);
        }
        row.download = text(i, 8) == "t";
        rows.push_back(std::move(row));
    }
    return DbState::Done;
}

std::size_t LineDatabaseClient::SpoolWaiting() const {
    std::string whyNot;
    const std::unique_ptr<FileLock> lock = impl_->spool.Lock(whyNot);
    std::vector<std::string> lines;
    if (!lock || !impl_->spool.Read(lines, whyNot)) return 0;
    return lines.size();
}

SpoolFlush LineDatabaseClient::FlushSpool() {
    SpoolFlush flush;
    std::string whyNot;
    const std::unique_ptr<FileLock> lock = impl_->spool.Lock(whyNot);
    std::vector<std::string> lines;
    if (!lock || !impl_->spool.Read(lines, whyNot)) {
        flush.message = "Spool " + impl_->spool.Path() + " cannot be read (" + whyNot + ").";
        return flush;
    }
    if (lines.empty()) return flush;
    std::vector<std::string> waiting;
    std::vector<std::string> rejected;
    for (const std::string& line : lines) {
        if (!waiting.empty()) {
            waiting.push_back(line);
            continue;
        }
        std::string why;
        const CounterStatus status = impl_->Store(line, why);
        if (status == CounterStatus::Taken) {
            ++flush.delivered;
        } else if (status == CounterStatus::Unreachable) {
            waiting.push_back(line);
            flush.message = why;
        } else {
            // The server read it and refused it: delivering it again will
            // not help, and keeping it would hold back every later line.
            rejected.push_back(line);
            flush.message = why;
        }
    }
    flush.waiting = waiting.size();
    flush.rejected = rejected.size();
    if (!rejected.empty()) {
        const RecordSpool aside(impl_->spool.RejectedPath());
        std::string why;
        for (const std::string& line : rejected) {
            if (!aside.Append(line, why)) {
                // Not kept aside: it stays in the spool rather than be lost.
                waiting.push_back(line);
            }
        }
        flush.message += " Refused records were moved to " + aside.Path() + ".";
    }
    std::string why;
    if (!impl_->spool.Replace(waiting, why)) {
        // Delivered again next time, which stores nothing twice.
        flush.message += " Spool " + impl_->spool.Path() + " not rewritten (" + why + ").";
    }
    return flush;
}

} // namespace talvex
