#include "line_database_choice.h"

#include "download_session.h"
#include "line_settings.h"

namespace talvex {

bool TakesDatabaseNumber(const Settings& settings) {
    return settings.serial.settings && !settings.serial.settings->counterDb.empty() &&
           !IsOn(settings.massErase) && IsOn(settings.program);
}

LineDatabaseChoice ChooseLineDatabase(const Settings& settings,
                                      const std::optional<std::string>& flag, bool forRun) {
    LineDatabaseChoice choice;
    const LineSettings line = ReadLineSettings(settings.settingsPath);
    const DatabaseChoice chosen = ChooseDatabase(flag, line);
    if (chosen.connection.empty()) {
        if (forRun && TakesDatabaseNumber(settings)) {
            // Without the server no number may be taken, and none invented.
            choice.problem = "[Serial] Counter=" + CounterName(*settings.serial.settings) +
                             " is a counter in the line database, and no database is set: give "
                             "--database, set TALVEX_DATABASE, or set [Line] Database. The board "
                             "is not flashed.";
            choice.refuse = ExitCode::Image;
        }
        return choice;
    }
    const bool fromFile = chosen.source == "[Line] Database";
    const std::string source =
        fromFile ? "Settings file " + settings.settingsPath + ": " + chosen.source : chosen.source;
    const std::string problem = DatabaseSettingProblem(chosen.connection, source);
    // Only the settings file is refused a password: a flag or the
    // environment lives no longer than the batch file that sets it.
    if (!problem.empty() && (fromFile || problem.find("holds a password") == std::string::npos)) {
        choice.problem = problem;
        choice.refuse = fromFile ? ExitCode::Image : ExitCode::Usage;
        return choice;
    }
    LineDatabaseOptions options;
    options.connection = chosen.connection;
    options.source = source;
    options.station = line.station;
    options.spool = line.spool;
    choice.client = std::make_shared<LineDatabaseClient>(options);
    return choice;
}

void AttachLineDatabase(DownloadSession& session, IWindowOps& window) {
    const LineDatabaseChoice choice = ChooseLineDatabase(session.CurrentSettings(), std::nullopt);
    if (!choice.problem.empty()) window.AppendStatusLine(choice.problem);
    if (choice.client) session.SetLineDatabase(choice.client);
}

} // namespace talvex
