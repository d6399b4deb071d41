#pragma once
// talvex-cli --report: the line report, printed from whichever store holds
// the runs (a JSON-lines record file, or a database).

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "line_report.h"
#include "result_code.h"

namespace talvex {

// Where the runs come from. read fills rows, and skipped with one text per
// entry that is no run (those are told and left out); on false, problem says
// why the store could not be read at all, and the command ends with
// unreadable.
struct ReportSource {
    std::string name; // heads the report: the file, or the database
    std::function<bool(std::vector<ReportRow>& rows, std::string& problem,
                       std::vector<std::string>& skipped)>
        read;
    ExitCode unreadable = ExitCode::Image;
};

// The runs of a JSON-lines record file.
ReportSource RecordFileSource(const std::string& path);

struct ReportOptions {
    std::optional<std::string> since; // as typed after --since
    std::string part;                 // empty: all
    bool csv = false;
};

// Prints the report to out and what went wrong to err; the exit code:
// 0 printed, 64 a --since it cannot use, the source's unreadable code,
// 74 when the report could not be written to out.
int RunReport(const ReportOptions& options, const ReportSource& source, std::int64_t nowUnixMs,
              std::FILE* out, std::FILE* err);

// The record file the report reads: the --record file when given, else the
// settings file's [Log] File; nothing when neither names one.
std::optional<std::string> ReportRecordFile(const std::optional<std::string>& recordFlag,
                                            const std::string& settingsPath);

// --report on stdout and stderr, now, from the record file; 64 with what to
// give when there is none.
int RunReportCommand(const ReportOptions& options, const std::optional<std::string>& recordFlag,
                     const std::string& settingsPath);

} // namespace talvex
