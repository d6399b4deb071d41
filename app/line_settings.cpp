#include "line_settings.h"

#include <filesystem>

#include "ini_file.h"
#include "settings_location.h"
#include "utf16.h"

namespace talvex {

LineSettings ReadLineSettings(const std::string& settingsPath) {
    LineSettings line;
    line.database = ini::ReadText(settingsPath, "Line", "Database", "", ini::kWholeValue);
    line.station = ini::ReadText(settingsPath, "Line", "Station", "", ini::kWholeValue);
    const std::string spool =
        ini::ReadText(settingsPath, "Line", "Spool", "talvex-spool.jsonl", ini::kWholeValue);
    std::filesystem::path path = PathFromUtf8(spool.empty() ? "talvex-spool.jsonl" : spool);
    if (path.is_relative()) path = PathFromUtf8(settingsPath).parent_path() / path;
    line.spool = Utf8FromPath(path);
    return line;
}

DatabaseChoice ChooseDatabase(const std::optional<std::string>& flag, const LineSettings& line) {
    if (flag) return {*flag, "--database"};
    const std::optional<std::string> env = ProcessEnvironment()("TALVEX_DATABASE");
    if (env && !env->empty()) return {*env, "TALVEX_DATABASE"};
    if (!line.database.empty()) return {line.database, "[Line] Database"};
    return {};
}

} // namespace talvex
