#include "status_log.h"

#include <cerrno>
#include <chrono>
#include <fstream>

#include "run_record.h"
#include "system_error_text.h"
#include "utf16.h"

namespace talvex {

std::string TimedLine(std::int64_t unixMs, const std::string& line) {
    return FormatUtcTime(unixMs) + "  " + line;
}

std::int64_t UnixMsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void StatusLog::Add(const std::string& line, std::int64_t unixMs) {
    lines_.push_back({unixMs, line});
}

std::string StatusLog::Text() const {
    std::string text;
    for (const Line& line : lines_) text += TimedLine(line.unixMs, line.text) + "\n";
    return text;
}

bool SaveTextFile(const std::string& path, const std::string& text, std::string& whyNot) {
    const auto failed = [&](int error) {
        const std::string reason = error != 0 ? ErrnoText(error) : std::string("write failed");
        whyNot = "Cannot write " + path + ": " + reason;
        return false;
    };
    if (path.empty()) {
        whyNot = "Cannot write the log: no file name was given";
        return false;
    }
    errno = 0;
    // Text mode: the platform's own line ends, for its editors.
    std::ofstream out(PathFromUtf8(path), std::ios::out | std::ios::trunc);
    if (!out) return failed(errno);
    out << text;
    out.flush();
    if (!out) return failed(errno);
    out.close();
    if (out.fail()) return failed(errno);
    return true;
}

} // namespace talvex
