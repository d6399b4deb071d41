#pragma once
// Which line database a run uses, for every front end: --database (the
// console's), TALVEX_DATABASE, or [Line] Database; refused when the
// settings file holds a password or libpq cannot read the string.

#include <memory>
#include <optional>
#include <string>

#include "line_database_client.h"
#include "result_code.h"
#include "settings.h"
#include "window_ops.h"

namespace talvex {

struct LineDatabaseChoice {
    std::shared_ptr<LineDatabaseClient> client; // null: none set, or refused
    std::optional<ExitCode> refuse;             // the run cannot go ahead
    std::string problem;                        // why, for the operator
};

// Makes the client (it connects at first use). For a run, a db: counter
// without any database is refused here too, so that no front end starts a
// run that cannot take its number.
LineDatabaseChoice ChooseLineDatabase(const Settings& settings,
                                      const std::optional<std::string>& flag, bool forRun = true);

class DownloadSession;

// For a window: the line database the settings name, given to the session
// (it connects when the first run needs it, on the worker's thread, so the
// window never waits for the server). Why none can be used goes into the
// status list.
void AttachLineDatabase(DownloadSession& session, IWindowOps& window);

// Whether a run with these settings takes a number from a db: counter.
bool TakesDatabaseNumber(const Settings& settings);

} // namespace talvex
