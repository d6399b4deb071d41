#pragma once
// The status list as an operator hands it on: every line with the moment it
// was added, to copy into a report or save beside a failed board. The time
// is the run record's own (UTC, to the millisecond), so a saved log and the
// record lines of the same runs can be laid side by side.

#include <cstdint>
#include <string>
#include <vector>

namespace talvex {

// "2026-12-07T14:02:11.123Z  Ready @ 115200 Baud."
std::string TimedLine(std::int64_t unixMs, const std::string& line);

// Milliseconds since 1970 now, as TimedLine takes them.
std::int64_t UnixMsNow();

class StatusLog {
public:
    void Add(const std::string& line, std::int64_t unixMs);
    std::size_t Size() const { return lines_.size(); }
    // Every line as TimedLine gives it, each ended by a line end.
    std::string Text() const;

private:
    struct Line {
        std::int64_t unixMs;
        std::string text;
    };
    std::vector<Line> lines_;
};

// Writes text to path, replacing the file. False with what failed and
// where ("Cannot write /tmp/x.log: Permission denied") when it did not go
// in whole.
bool SaveTextFile(const std::string& path, const std::string& text, std::string& whyNot);

} // namespace talvex
