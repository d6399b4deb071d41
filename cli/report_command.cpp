#include "report_command.h"

#include <chrono>

#include "download_session.h"
#include "front_texts.h"
#include "stream_check.h"

namespace talvex {

namespace {

// Enough of the damaged lines to find them in the file; the count tells the
// rest, so that a file of garbage does not bury the report.
constexpr std::size_t kSkippedShown = 20;

} // namespace

ReportSource RecordFileSource(const std::string& path) {
    ReportSource source;
    source.name = path;
    source.read = [path](std::vector<ReportRow>& rows, std::string& problem,
                         std::vector<std::string>& skipped) {
        rows = ReadRecordFileRows(path, problem, skipped);
        return problem.empty();
    };
    // The record file is an input of the run, like the image and the part
    // database.
    source.unreadable = ExitCode::Image;
    return source;
}

int RunReport(const ReportOptions& options, const ReportSource& source, std::int64_t nowUnixMs,
              std::FILE* out, std::FILE* err) {
    ReportFilter filter;
    filter.part = options.part;
    if (options.since) {
        std::int64_t since = 0;
        std::string whyNot;
        if (!ParseSince(*options.since, nowUnixMs, since, whyNot)) {
            std::fprintf(err, "talvex-cli: --since takes %s (talvex-cli --help)\n",
                         Printable(whyNot).c_str());
            return ToInt(ExitCode::Usage);
        }
        filter.sinceUnixMs = since;
    }
    std::vector<ReportRow> rows;
    std::string problem;
    std::vector<std::string> skipped;
    if (!source.read(rows, problem, skipped)) {
        std::fprintf(err, "talvex-cli: %s; no report.\n", Printable(problem).c_str());
        return ToInt(source.unreadable);
    }
    for (std::size_t i = 0; i < skipped.size() && i < kSkippedShown; ++i) {
        std::fprintf(err, "talvex-cli: %s; left out.\n", Printable(skipped[i]).c_str());
    }
    if (skipped.size() > kSkippedShown) {
        std::fprintf(err, "talvex-cli: %zu more entries of %s are no runs; left out.\n",
                     skipped.size() - kSkippedShown, Printable(source.name).c_str());
    }
    LineReport report = BuildReport(rows, filter);
    report.source = source.name;
    report.skippedLines = skipped.size();
    const std::string text = options.csv ? FormatReportCsv(report) : FormatReportText(report);
    std::fwrite(text.data(), 1, text.size(), out);
    const std::string lost = StreamLoss(out);
    if (lost.empty()) return 0;
    std::fprintf(err, "talvex-cli: the --report output could not be written to stdout (%s).\n",
                 lost.c_str());
    return ToInt(ExitCode::Output);
}

std::optional<std::string> ReportRecordFile(const std::optional<std::string>& recordFlag,
                                            const std::string& settingsPath) {
    if (recordFlag) return recordFlag;
    std::string configured = ConfiguredRecordFile(settingsPath);
    if (configured.empty()) return std::nullopt;
    return configured;
}

int RunReportCommand(const ReportOptions& options, const std::optional<std::string>& recordFlag,
                     const std::string& settingsPath) {
    const std::optional<std::string> file = ReportRecordFile(recordFlag, settingsPath);
    if (!file) {
        std::fprintf(stderr,
                     "talvex-cli: --report needs the run records: give --record FILE, or set "
                     "[Log] File in %s (talvex-cli --help)\n",
                     Printable(settingsPath).c_str());
        return ToInt(ExitCode::Usage);
    }
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    return RunReport(options, RecordFileSource(*file), now, stdout, stderr);
}

} // namespace talvex
