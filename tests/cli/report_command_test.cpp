// talvex-cli --report as a function: what it prints where, and the exit code
// a script reads, whatever the source of the runs gives it.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "report_command.h"
#include "run_record.h"

namespace talvex::testing {
namespace {

const std::int64_t kNow = *ParseRecordTime("2026-12-08T12:00:00.000Z");

// A stream whose text the test reads back after the command.
class Capture {
public:
    Capture() : file_(std::tmpfile(), &std::fclose) {}
    std::FILE* get() const { return file_.get(); }
    std::string Text() const {
        std::fflush(file_.get());
        std::rewind(file_.get());
        std::string text;
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_.get())) > 0) text.append(chunk, n);
        return text;
    }

private:
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

ReportRow Row(std::int64_t ago, const std::string& part, int code,
              std::optional<std::uint64_t> serial) {
    ReportRow row;
    row.startUnixMs = kNow - ago;
    row.station = "st-1";
    row.port = "COM3";
    row.part = part;
    row.imagePath = "C:\\line\\board.hex";
    row.imageSha256 = std::string(64, 'd');
    row.code = code;
    row.serial = serial;
    return row;
}

// A store that hands over the given rows and damaged entries, or fails.
ReportSource Store(std::vector<ReportRow> rows, std::vector<std::string> damaged = {},
                   std::string problem = {}) {
    ReportSource source;
    source.name = "test store";
    source.read = [=](std::vector<ReportRow>& out, std::string& why,
                      std::vector<std::string>& skipped) {
        out = rows;
        skipped = damaged;
        why = problem;
        return problem.empty();
    };
    source.unreadable = ExitCode::Port;
    return source;
}

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome Report(const ReportOptions& options, const ReportSource& source) {
    Capture out, err;
    const int code = RunReport(options, source, kNow, out.get(), err.get());
    return {code, out.Text(), err.Text()};
}

TEST(ReportCommandTest, ExitCodesAndMessagesFollowWhatWentWrong) {
    const std::vector<ReportRow> rows = {Row(3600000, "ZaRQ4126", 0, 1),
                                         Row(7200000, "ZaRQ4126", 7, 2),
                                         Row(3 * 86400000LL, "ZaRQ4127", 5, 3)};
    struct Case {
        const char* name;
        ReportOptions options;
        ReportSource source;
        int code;
        std::string inOut; // empty: nothing on stdout
        std::string inErr; // empty: nothing on stderr
    };
    const Case cases[] = {
        {"text", {}, Store(rows), 0, "3 runs from 2026-12-05T12:00:00.000Z", ""},
        {"since a day",
         {std::string("24h"), "", false},
         Store(rows),
         0,
         "Runs since 2026-12-07T12:00:00.000Z, all parts\n2 runs",
         ""},
        {"one part as CSV",
         {std::nullopt, "ZaRQ4127", true},
         Store(rows),
         0,
         "\nfailed_serial,3,2026-12-05T12:00:00.000Z,ZaRQ4127,st-1,COM3,5\n",
         ""},
        {"a since it cannot use",
         {std::string("yesterday"), "", false},
         Store(rows),
         64,
         "",
         "talvex-cli: --since takes a span back from now"},
        {"a store that cannot be read",
         {},
         Store({}, {}, "database db1 refused the connection"),
         4,
         "",
         "talvex-cli: database db1 refused the connection; no report.\n"},
        {"damaged entries",
         {},
         Store(rows, {"test store, line 4: not JSON (at character 1)"}),
         0,
         "1 line of the source is not a run record",
         "talvex-cli: test store, line 4: not JSON (at character 1); left out.\n"},
    };
    for (const Case& c : cases) {
        const Outcome o = Report(c.options, c.source);
        EXPECT_EQ(o.code, c.code) << c.name << "\n" << o.err;
        if (c.inOut.empty()) {
            EXPECT_EQ(o.out, "") << c.name;
        } else {
            EXPECT_NE(o.out.find(c.inOut), std::string::npos) << c.name << "\n" << o.out;
        }
        if (c.inErr.empty()) {
            EXPECT_EQ(o.err, "") << c.name;
        } else {
            EXPECT_NE(o.err.find(c.inErr), std::string::npos) << c.name << "\n" << o.err;
        }
    }
}

TEST(ReportCommandTest, AFileOfGarbageDoesNotBuryTheReport) {
    std::vector<std::string> damaged;
    for (int i = 1; i <= 25; ++i) damaged.push_back("f, line " + std::to_string(i) + ": not JSON");
    const Outcome o = Report({}, Store({Row(1000, "ZaRQ4126", 0, 1)}, damaged));
    EXPECT_EQ(o.code, 0);
    EXPECT_NE(o.err.find("line 20: not JSON; left out.\n"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("line 21:"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("talvex-cli: 5 more entries of test store are no runs; left out.\n"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.out.find("25 lines of the source are not run records"), std::string::npos);
}

TEST(ReportCommandTest, AReportThatCannotBeWrittenEndsWith74) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> full(std::fopen("/dev/full", "w"),
                                                         &std::fclose);
    ASSERT_NE(full, nullptr);
    Capture err;
    const int code =
        RunReport({}, Store({Row(1000, "ZaRQ4126", 0, 1)}), kNow, full.get(), err.get());
    EXPECT_EQ(code, 74);
    EXPECT_NE(err.Text().find("the --report output could not be written to stdout"),
              std::string::npos)
        << err.Text();
}

TEST(ReportCommandTest, TheRecordFlagComesBeforeTheSettingsFile) {
    // No settings file at all: only the flag can name the records.
    EXPECT_EQ(ReportRecordFile(std::string("/srv/a.jsonl"), "/nonexistent/talvex.ini"),
              "/srv/a.jsonl");
    EXPECT_EQ(ReportRecordFile(std::nullopt, "/nonexistent/talvex.ini"), std::nullopt);
}

} // namespace
} // namespace talvex::testing
