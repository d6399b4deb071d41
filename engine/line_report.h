#pragma once
// The line report: from the runs a line recorded, the yield per part and
// image, the failures per exit code and per station, and the serial numbers
// of the boards that failed. A few lines a quality engineer can read or load
// into a spreadsheet, whichever store the runs come from.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

// One run, as the report needs it.
struct ReportRow {
    std::int64_t startUnixMs = 0;
    std::string station; // the record's station, else its host
    std::string port;
    std::string part;
    std::string imagePath;
    std::string imageSha256; // the file's SHA-256, empty when unknown
    int code = 0;            // the run's exit code
    std::optional<std::uint64_t> serial;
    bool download = true; // false: a Run/Reset on its own
};

struct ReportFilter {
    std::optional<std::int64_t> sinceUnixMs; // runs that began at or after it
    std::string part;                        // empty: all; compared without case
};

// The start of the report's window from what a user types after --since:
// "30s", "90m", "24h", "7d", "2w" back from now, or a UTC date or time,
// "2026-12-07", "2026-12-07T14:00" or "2026-12-07T14:00:30Z" (the record's
// own times are UTC). False otherwise, with what it takes (to follow
// "--since takes " or the like).
bool ParseSince(const std::string& text, std::int64_t nowUnixMs, std::int64_t& sinceUnixMs,
                std::string& whyNot);

// Milliseconds since 1970 for a record's "start" ("2026-12-07T14:02:11.123Z");
// nothing for any other text.
std::optional<std::int64_t> ParseRecordTime(const std::string& text);

// Every run of a JSON-lines record file. A line that is not a run record
// goes to skipped as "FILE, line N: why" and the lines after it are still
// read; blank lines are no runs and are passed over. problem is set (and
// nothing returned) only when the file itself cannot be read.
std::vector<ReportRow> ReadRecordFileRows(const std::string& path, std::string& problem,
                                          std::vector<std::string>& skipped);

// A board is a run that set out to program one (a download), whatever
// stopped it: a run cut short or refused its part counts as a failed board.
// A Run/Reset on its own programs nothing and is only counted apart.
struct LineReport {
    ReportFilter filter;
    std::string source;           // where the runs came from, for the heading
    std::size_t skippedLines = 0; // lines of the source that were not runs

    std::size_t runs = 0;         // runs within the filter
    std::size_t runResetOnly = 0; // of them, Run/Reset on its own
    std::size_t boards = 0;
    std::size_t passed = 0;
    std::optional<std::int64_t> firstUnixMs; // the first and last run within the filter
    std::optional<std::int64_t> lastUnixMs;

    struct Yield {
        std::string part;
        std::string imagePath;
        std::string imageSha256; // empty when the file could not be read
        std::size_t boards = 0;
        std::size_t passed = 0;
    };
    std::vector<Yield> yield; // by part, image path, SHA-256

    struct CodeFailures {
        int code = 0;
        std::size_t boards = 0;
    };
    std::vector<CodeFailures> failuresByCode; // by code

    struct Station {
        std::string name;
        std::size_t boards = 0;
        std::size_t failed = 0;
    };
    std::vector<Station> stations; // by name; every station with boards

    struct FailedBoard {
        std::uint64_t serial = 0;
        std::int64_t startUnixMs = 0;
        std::string part;
        std::string station;
        std::string port;
        int code = 0;
    };
    std::vector<FailedBoard> failedSerials; // by time
    std::size_t failedWithoutSerial = 0;
};

LineReport BuildReport(const std::vector<ReportRow>& rows, const ReportFilter& filter);

// Yield in tenths of a percent, rounded down: 100.0 only when every board
// passed.
int YieldTenths(std::size_t passed, std::size_t boards);

// Plain text: the heading with period and filter, then one table per
// section, numbers right-aligned.
std::string FormatReportText(const LineReport& report);

// CSV (RFC 4180 quoting; lines end with \n, which a Windows console
// stream writes as CR LF): each section begins with a header line,
// and every line's first field is the section's name ("report", "yield",
// "code", "station", "failed_serial"), so a section is one grep away.
std::string FormatReportCsv(const LineReport& report);

} // namespace talvex
