#pragma once
// The [Line] section: the line database several stations share, this
// station's name in it, and the spool file that keeps run records while
// the server is away.

#include <optional>
#include <string>

namespace talvex {

struct LineSettings {
    std::string database; // [Line] Database: a libpq connection string, as written
    std::string station;  // [Line] Station; empty: the host name
    std::string spool;    // [Line] Spool, made absolute beside the settings file
};

// Reads [Line]. The spool defaults to talvex-spool.jsonl beside the
// settings file, so that stations sharing a settings folder on one PC
// share one spool.
LineSettings ReadLineSettings(const std::string& settingsPath);

// The connection string in force and where it came from.
struct DatabaseChoice {
    std::string connection; // empty: no database
    std::string source;     // "--database", "TALVEX_DATABASE" or "[Line] Database"
};

// --database wins over TALVEX_DATABASE, which wins over the settings file,
// so that a batch file can point one run elsewhere without editing it.
DatabaseChoice ChooseDatabase(const std::optional<std::string>& flag, const LineSettings& line);

} // namespace talvex
