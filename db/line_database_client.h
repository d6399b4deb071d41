#pragma once
// The line database: a PostgreSQL server that every station of a line
// shares, for serial numbers (db: counters) and run records. One client per
// process, shared by every session and gang board; it connects once, keeps
// its statements prepared, reconnects after the server went away, and keeps
// run records in a local spool file while it is away.
//
// Backends: line_database_client_posix.cpp (libpq) and
// line_database_client_win32.cpp (not available there: counter files and
// record files are the Windows build's way).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line_database.h"
#include "line_report.h"
#include "serial_settings.h"

namespace talvex {

// The schema this program writes. Version 1 held the counters alone;
// version 2 added the run records and the burned marks.
constexpr int kLineSchemaVersion = 2;

struct LineDatabaseOptions {
    std::string connection; // a libpq connection string or URI
    std::string source;     // where it came from, for messages
    std::string station;    // empty: the host name
    std::string spool;      // the spool file's path
};

// Why a connection string taken from a settings file cannot be used: one
// that holds a password (it belongs in ~/.pgpass or PGPASSWORD, not in a
// file every station copies), or one libpq cannot read. Empty when fine.
std::string DatabaseSettingProblem(const std::string& connection, const std::string& source);

// What came of asking the server for something.
enum class DbState {
    Done,
    Unreachable, // not reached, refused the connection, or lost on the way
    Refused,     // reached, but it cannot serve: no schema, a statement refused
};

struct SpoolFlush {
    std::size_t delivered = 0; // stored now (or found stored already)
    std::size_t waiting = 0;   // still in the spool
    std::size_t rejected = 0;  // refused by the server, moved aside
    std::string message;       // why some are still waiting or were moved aside
};

class LineDatabaseClient final : public ILineDatabase {
public:
    explicit LineDatabaseClient(LineDatabaseOptions options);
    ~LineDatabaseClient() override;
    LineDatabaseClient(const LineDatabaseClient&) = delete;
    LineDatabaseClient& operator=(const LineDatabaseClient&) = delete;

    // Connects now (else at first use), so that a server that is away or a
    // password refused is told before anything else. The reason names the
    // server and gives libpq's words.
    DbState Connect(std::string& whyNot);
    // "database \"line\" on /run/postgresql:5432", for messages.
    std::string Server() const;

    // Creates the schema or upgrades it to targetVersion, in one
    // transaction that other stations' --db-init waits for. With a db:
    // counter, creates it at its First number unless it exists. Lines for
    // the operator go to report.
    DbState InitSchema(const std::optional<SerialSettings>& counter, std::string& report,
                       std::string& whyNot, int targetVersion = kLineSchemaVersion);
    // The schema's version; 0 when there is none. -1 with whyNot when it
    // cannot be read.
    int SchemaVersion(std::string& whyNot);

    // Delivers what the spool holds, oldest first, each record once however
    // often it is delivered.
    SpoolFlush FlushSpool();
    // Records waiting in the spool (lines), without delivering them.
    std::size_t SpoolWaiting() const;

    // Every run the database holds, for the line report.
    DbState ReportRows(std::vector<ReportRow>& rows, std::string& whyNot);

    CounterResult TakeSerial(const SerialSettings& serial, const std::string& port) override;
    CounterResult PeekSerial(const SerialSettings& serial) override;
    RecordDelivery StoreRecord(const std::string& line) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace talvex
