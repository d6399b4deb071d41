#pragma once
// talvex-cli and the line database: opening it for a run (and delivering
// what the spool kept from earlier runs), --db-init and --db-flush. What
// each says goes to stderr (stdout for the answers of --db-init and
// --db-flush), as the rest of talvex-cli does.

#include <memory>
#include <optional>
#include <string>

#include "line_database_client.h"
#include "report_command.h"
#include "settings.h"

namespace talvex {

struct LineFlags {
    std::optional<std::string> database; // --database
    bool init = false;                   // --db-init
    bool flush = false;                  // --db-flush
};

// Takes --database, --db-init and --db-flush; false for any other flag.
// A value given to a flag that takes none, or none to --database, is a
// usage problem set in problem.
bool TakeLineFlag(const std::string& flag, const std::optional<std::string>& value,
                  LineFlags& flags, std::string& problem);

// The database a run uses, connected, with the spool delivered; null when
// none is set. A run that could not go ahead without it (a db: counter, a
// password in the settings file) gets its exit code in refuse, its reason
// on stderr. A server that is away when only records need it is said and
// the run goes on: its record waits in the spool.
std::shared_ptr<LineDatabaseClient> OpenLineDatabase(const Settings& settings,
                                                     const LineFlags& flags,
                                                     std::optional<int>& refuse);

// --db-init and --db-flush; the exit code.
int InitLineDatabase(const Settings& settings, const LineFlags& flags);
int FlushLineSpool(const Settings& settings, const LineFlags& flags);

// --report from the line database, when one is set (nullopt when none is:
// the report then reads the record file). The exit code.
std::optional<int> ReportFromLineDatabase(const Settings& settings, const LineFlags& flags,
                                          const ReportOptions& options);

} // namespace talvex
