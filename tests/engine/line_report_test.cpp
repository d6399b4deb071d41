// The line report read back from a record file as the recorder writes it:
// which lines count, which runs are boards, and the figures, text and CSV a
// quality engineer gets from them.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "json_reader.h"
#include "line_report.h"
#include "run_record.h"

namespace talvex::testing {
namespace {

constexpr std::int64_t kMinute = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

std::int64_t Utc(const std::string& text) {
    const std::optional<std::int64_t> at = ParseRecordTime(text);
    EXPECT_TRUE(at.has_value()) << text;
    return at.value_or(0);
}

TEST(JsonReaderTest, TakesStrictJsonAndSaysWhereItStopped) {
    struct Case {
        std::string text;
        bool valid;
        std::size_t errorAt;
    };
    const Case cases[] = {
        {R"({"a":1.5e3,"b":-2E-2,"c":[true,null]})", true, 0},
        {"1" + std::string(400, '0'), true, 0}, // too large for a double: still JSON
        {R"({"a":1,"a":2})", false, 7},         // the second "a"
        {R"({"a":01})", false, 6},              // the digit after the leading zero
        {R"({"a":1e})", false, 7},
        {R"({"a":"\q"})", false, 7},
        {"{\"a\":\"\x01\"}", false, 6},
        {R"({"a":1} x)", false, 8},
        {R"({"a":"\u00e9"})", true, 0},
        {R"({"a":"\ud83d"})", false, 6}, // half a surrogate pair
    };
    for (const Case& c : cases) {
        std::size_t errorAt = 99;
        const auto value = JsonReader::Parse(c.text, errorAt);
        EXPECT_EQ(value.has_value(), c.valid) << c.text;
        if (!c.valid) {
            EXPECT_EQ(errorAt, c.errorAt) << c.text;
        }
    }
}

TEST(JsonReaderTest, EscapedTextBecomesUtf8) {
    const auto v = JsonReader::Parse(R"(["\u00e9\ud83d\ude00x", "a\u0009\/"])");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->items[0].text, "\xC3\xA9\xF0\x9F\x98\x80x");
    EXPECT_EQ(v->items[1].text, "a\t/");
}

TEST(JsonReaderTest, WholeNumbersKeepEveryDigit) {
    const auto v = JsonReader::Parse(R"([18446744073709551615, 9007199254740993, -5, 1.0, 1e2,
                                         18446744073709551616])");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->items[0].ExactUnsigned(), 18446744073709551615ULL);
    EXPECT_EQ(v->items[1].ExactInt(), 9007199254740993LL);
    EXPECT_EQ(v->items[2].ExactInt(), -5);
    EXPECT_FALSE(v->items[2].ExactUnsigned().has_value());
    EXPECT_FALSE(v->items[3].ExactInt().has_value());
    EXPECT_FALSE(v->items[4].ExactInt().has_value());
    EXPECT_FALSE(v->items[5].ExactUnsigned().has_value());
}

TEST(ReportTimeTest, RecordTimesReadBackAsWritten) {
    for (const std::int64_t at : {std::int64_t{0}, std::int64_t{951782400000} /* 2000-02-29 */,
                                  std::int64_t{1796738531123}, std::int64_t{4102444799999}}) {
        EXPECT_EQ(ParseRecordTime(FormatUtcTime(at)), at) << FormatUtcTime(at);
    }
    for (const char* bad : {"2026-02-29T00:00:00.000Z", "2026-13-01", "2026-12-07T24:00",
                            "2026-12-07T14:00:00.5Z", "2026-12-7", "yesterday", ""}) {
        EXPECT_FALSE(ParseRecordTime(bad).has_value()) << bad;
    }
}

TEST(ReportTimeTest, SinceTakesSpansBackFromNowAndUtcTimes) {
    const std::int64_t now = Utc("2026-12-08T12:00:00.000Z");
    struct Case {
        const char* text;
        std::optional<std::int64_t> since; // nothing: refused
    };
    const Case cases[] = {
        {"30s", now - 30 * 1000},
        {"90m", now - 90 * kMinute},
        {"24h", now - kDay},
        {"7d", now - 7 * kDay},
        {"2w", now - 14 * kDay},
        {"36600d", now - 36600 * kDay},
        {"2026-12-07", Utc("2026-12-07T00:00:00.000Z")},
        {"2026-12-07T14:00", Utc("2026-12-07T14:00:00.000Z")},
        {"2026-12-07 14:00:30Z", Utc("2026-12-07T14:00:30.000Z")},
        {"0h", std::nullopt},
        {"36601d", std::nullopt},
        {"24", std::nullopt},
        {"h", std::nullopt},
        {"-5h", std::nullopt},
        {"5y", std::nullopt},
        {"99999999999d", std::nullopt},
        {"2026-12-09", std::nullopt}, // tomorrow
        {"2026-02-30", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        std::int64_t since = -1;
        std::string whyNot;
        const bool ok = ParseSince(c.text, now, since, whyNot);
        EXPECT_EQ(ok, c.since.has_value()) << c.text << ": " << whyNot;
        if (ok && c.since) {
            EXPECT_EQ(since, *c.since) << c.text;
        }
        if (!ok) {
            EXPECT_NE(whyNot.find(c.text), std::string::npos) << whyNot;
        }
    }
}

// A record file written by the recorder's own formatter, with lines no
// recorder wrote in between.
class LineReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/talvex-line-report-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "line.jsonl").string();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    struct Run {
        std::int64_t ago;
        std::string host;
        std::string part;
        std::string image; // empty: Run/Reset on its own
        std::string sha;
        int code;
        std::optional<std::uint64_t> serial;
    };

    std::string Line(const Run& run) const {
        RunRecord r;
        r.startUnixMs = now_ - run.ago;
        r.host = run.host;
        r.port = "/dev/ttyUSB" + std::to_string(run.code);
        r.part = run.part;
        r.download = !run.image.empty();
        r.image.path = "/srv/images/" + run.image;
        r.image.read = !run.sha.empty();
        r.image.sha256 = run.sha;
        if (run.serial) r.serial = RunRecord::Serial{*run.serial, "00", "serial.cnt"};
        r.code = run.code;
        return FormatRunRecord(r);
    }

    void Write(const std::vector<std::string>& lines) const {
        std::ofstream out(path_, std::ios::binary);
        for (const std::string& line : lines) out << line << "\n";
    }

    // Seven runs (one three days old), one Run/Reset on its own, and damaged
    // lines on lines 2, 5, 7 and 10.
    void WriteLine() const {
        const std::string shaA(64, 'a'), shaB(64, 'b'), shaC(64, 'c');
        Write({
            Line({2 * kHour, "st-a", "ZaRQ4126", "a.hex", shaA, 0, 100}),
            "{\"start\":\"2026-12-08T",
            Line({3 * kHour, "st-a", "ZaRQ4126", "a.hex", shaA, 7, 101}),
            Line({1 * kHour, kOddStation, "ZaRQ4126", "a.hex", shaA, 0, 102}),
            "[1,2]",
            "",
            R"({"start":"yesterday","result":{"code":0}})",
            Line({30 * kMinute, kOddStation, "ZaRQ4126", "a.hex", shaB, 8, 103}),
            Line({5 * kHour, "st-a", "ZaRQ4127", "b.hex", shaC, 6, std::nullopt}),
            R"({"start":"2026-12-08T10:00:00.000Z","result":{"code":"7"}})",
            Line({1 * kHour, "st-a", "ZaRQ4127", "", "", 4, std::nullopt}),
            Line({3 * kDay, "st-a", "ZaRQ4126", "a.hex", shaA, 7, 50}),
        });
    }

    LineReport Report(const ReportFilter& filter) {
        std::string problem;
        std::vector<std::string> skipped;
        const std::vector<ReportRow> rows = ReadRecordFileRows(path_, problem, skipped);
        EXPECT_EQ(problem, "");
        LineReport report = BuildReport(rows, filter);
        report.source = path_;
        report.skippedLines = skipped.size();
        return report;
    }

    static inline const std::string kOddStation = "st,b \"2\"";
    std::filesystem::path dir_;
    std::string path_;
    const std::int64_t now_ = Utc("2026-12-08T12:00:00.000Z");
};

TEST_F(LineReportTest, DamagedLinesAreNamedWithFileAndLineAndTheRestIsRead) {
    WriteLine();
    std::string problem;
    std::vector<std::string> skipped;
    const std::vector<ReportRow> rows = ReadRecordFileRows(path_, problem, skipped);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(rows.size(), 7u);
    ASSERT_EQ(skipped.size(), 4u);
    const char* lines[] = {", line 2: not JSON", ", line 5: not a run record",
                           ", line 7: not a run record", ", line 10: not a run record"};
    for (std::size_t i = 0; i < skipped.size(); ++i) {
        EXPECT_EQ(skipped[i].rfind(path_ + lines[i], 0), 0u) << skipped[i];
    }
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].station, "st-a");
    EXPECT_EQ(rows[0].imagePath, "/srv/images/a.hex");
    EXPECT_EQ(rows[0].imageSha256, std::string(64, 'a'));
    EXPECT_EQ(rows[0].serial, 100u);
    EXPECT_EQ(rows[0].startUnixMs, now_ - 2 * kHour);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_FALSE(rows[5].download);
    EXPECT_TRUE(rows[6].download);
}

TEST_F(LineReportTest, AFileThatCannotBeReadIsAProblemNotAnEmptyReport) {
    for (const std::string& path : {(dir_ / "missing.jsonl").string(), dir_.string()}) {
        std::string problem;
        std::vector<std::string> skipped;
        const std::vector<ReportRow> rows = ReadRecordFileRows(path, problem, skipped);
        EXPECT_TRUE(rows.empty());
        EXPECT_NE(problem.find(path), std::string::npos) << problem;
    }
}

TEST_F(LineReportTest, ALineTooLongForARecordIsSkippedAndTheNextOneRead) {
    Write({std::string(2 << 20, 'x'), Line({kHour, "st-a", "ZaRQ4126", "a.hex", "", 0, 7})});
    std::string problem;
    std::vector<std::string> skipped;
    const std::vector<ReportRow> rows = ReadRecordFileRows(path_, problem, skipped);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].serial, 7u);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_NE(skipped[0].find("line 1: longer than"), std::string::npos) << skipped[0];
}

TEST_F(LineReportTest, FiguresFollowTheFilter) {
    WriteLine();
    struct Case {
        const char* name;
        ReportFilter filter;
        std::size_t runs, runResetOnly, boards, passed;
        std::vector<std::pair<int, std::size_t>> codes;
        std::vector<std::uint64_t> failedSerials; // by time
        std::size_t failedWithoutSerial;
    };
    const Case cases[] = {
        {"last day", {now_ - kDay, ""}, 6, 1, 5, 2, {{6, 1}, {7, 1}, {8, 1}}, {101, 103}, 1},
        {"everything", {std::nullopt, ""}, 7, 1, 6, 2, {{6, 1}, {7, 2}, {8, 1}}, {50, 101, 103}, 1},
        {"one part, any case", {std::nullopt, "zarq4127"}, 2, 1, 1, 0, {{6, 1}}, {}, 1},
        {"nothing in the window", {now_ - 10 * kMinute, ""}, 0, 0, 0, 0, {}, {}, 0},
    };
    for (const Case& c : cases) {
        const LineReport r = Report(c.filter);
        EXPECT_EQ(r.runs, c.runs) << c.name;
        EXPECT_EQ(r.runResetOnly, c.runResetOnly) << c.name;
        EXPECT_EQ(r.boards, c.boards) << c.name;
        EXPECT_EQ(r.passed, c.passed) << c.name;
        std::vector<std::pair<int, std::size_t>> codes;
        for (const auto& f : r.failuresByCode) codes.emplace_back(f.code, f.boards);
        EXPECT_EQ(codes, c.codes) << c.name;
        std::vector<std::uint64_t> serials;
        for (const auto& f : r.failedSerials) serials.push_back(f.serial);
        EXPECT_EQ(serials, c.failedSerials) << c.name;
        EXPECT_EQ(r.failedWithoutSerial, c.failedWithoutSerial) << c.name;
        EXPECT_EQ(r.skippedLines, 4u) << c.name;
    }
}

TEST_F(LineReportTest, YieldIsPerPartAndImageAndStationsCountTheirOwnBoards) {
    WriteLine();
    const LineReport r = Report({now_ - kDay, ""});
    ASSERT_EQ(r.yield.size(), 3u);
    // A rebuilt image under the same name is another image.
    EXPECT_EQ(r.yield[0].part, "ZaRQ4126");
    EXPECT_EQ(r.yield[0].imageSha256, std::string(64, 'a'));
    EXPECT_EQ(r.yield[0].boards, 3u);
    EXPECT_EQ(r.yield[0].passed, 2u);
    EXPECT_EQ(r.yield[1].imageSha256, std::string(64, 'b'));
    EXPECT_EQ(r.yield[1].boards, 1u);
    EXPECT_EQ(r.yield[1].passed, 0u);
    EXPECT_EQ(r.yield[2].part, "ZaRQ4127");
    EXPECT_EQ(r.yield[2].imagePath, "/srv/images/b.hex");
    ASSERT_EQ(r.stations.size(), 2u);
    EXPECT_EQ(r.stations[0].name, "st,b \"2\"");
    EXPECT_EQ(r.stations[0].boards, 2u);
    EXPECT_EQ(r.stations[0].failed, 1u);
    EXPECT_EQ(r.stations[1].name, "st-a");
    EXPECT_EQ(r.stations[1].boards, 3u); // the Run/Reset on its own is no board
    EXPECT_EQ(r.stations[1].failed, 2u);
    ASSERT_EQ(r.failedSerials.size(), 2u);
    EXPECT_EQ(r.failedSerials[1].station, kOddStation);
    EXPECT_EQ(r.failedSerials[1].code, 8);
    EXPECT_EQ(r.failedSerials[1].part, "ZaRQ4126");
}

TEST(YieldTest, RoundsDownSoThatOnlyAFullLineShowsAHundred) {
    struct Case {
        std::size_t passed, boards;
        int tenths;
    };
    const Case cases[] = {{2, 3, 666}, {1999, 2000, 999}, {5, 5, 1000}, {0, 4, 0}, {0, 0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(YieldTenths(c.passed, c.boards), c.tenths) << c.passed << "/" << c.boards;
    }
}

// The lines of the table that follows a section's title, up to the blank
// line that ends it.
std::vector<std::string> Section(const std::string& text, const std::string& title) {
    std::vector<std::string> lines;
    std::size_t at = text.find("\n" + title + "\n");
    if (at == std::string::npos) return lines;
    at += title.size() + 2;
    while (at < text.size() && text[at] != '\n') {
        const std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

TEST_F(LineReportTest, TextSaysPeriodAndFilterAndAlignsTheNumbers) {
    WriteLine();
    const std::string text = FormatReportText(Report({now_ - kDay, "ZaRQ4126"}));
    EXPECT_NE(text.find("Line report of " + path_ + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Runs since 2026-12-07T12:00:00.000Z, part ZaRQ4126\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("4 lines of the source are not run records"), std::string::npos) << text;
    EXPECT_NE(text.find("4 runs from 2026-12-08T09:00:00.000Z to 2026-12-08T11:30:00.000Z: "
                        "4 boards (2 passed, 2 failed)\n"),
              std::string::npos)
        << text;

    const std::vector<std::string> yield = Section(text, "Yield per part and image");
    ASSERT_EQ(yield.size(), 3u) << text;
    EXPECT_EQ(yield[1].substr(0, 8), "ZaRQ4126");
    EXPECT_NE(yield[1].find("a.hex"), std::string::npos);
    EXPECT_NE(yield[1].find("aaaaaaaaaaaa "), std::string::npos) << "the SHA-256 is shortened";
    EXPECT_EQ(yield[1].substr(yield[1].size() - 4), "66.6");
    EXPECT_EQ(yield[2].substr(yield[2].size() - 3), "0.0");
    const std::vector<std::string> codes = Section(text, "Failures per exit code");
    ASSERT_EQ(codes.size(), 3u) << text;
    EXPECT_EQ(codes[1].rfind("   7  write", 0), 0u) << codes[1];
    const std::vector<std::string> stations = Section(text, "Failures per station");
    ASSERT_EQ(stations.size(), 3u) << text;
    const std::vector<std::string> serials = Section(text, "Serial numbers of failed boards");
    ASSERT_EQ(serials.size(), 3u) << text;
    EXPECT_EQ(serials[1].rfind("   101  2026-12-08T09:00:00.000Z  ZaRQ4126  st-a", 0), 0u)
        << serials[1];
    // Every table ends in a right-aligned number column: its lines are all
    // as long as its header.
    for (const auto& table : {yield, codes, stations, serials}) {
        for (const std::string& line : table) EXPECT_EQ(line.size(), table[0].size()) << line;
    }
}

TEST_F(LineReportTest, TextOfAnEmptyWindowSaysSo) {
    WriteLine();
    const std::string text = FormatReportText(Report({now_ - kMinute, ""}));
    EXPECT_NE(text.find("all parts\n"), std::string::npos) << text;
    EXPECT_NE(text.find("No runs.\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Yield"), std::string::npos) << text;
}

// RFC 4180 fields of one CSV text, line by line.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> lines(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            lines.back().push_back(field);
            field.clear();
        } else if (c == '\n') {
            lines.back().push_back(field);
            field.clear();
            lines.emplace_back();
        } else {
            field += c;
        }
    }
    EXPECT_FALSE(quoted);
    EXPECT_TRUE(lines.back().empty() && field.empty()) << "the last line has its line end";
    lines.pop_back();
    return lines;
}

TEST_F(LineReportTest, CsvQuotesTextAndNamesTheSectionOnEveryLine) {
    WriteLine();
    const LineReport report = Report({now_ - kDay, ""});
    const auto lines = ParseCsv(FormatReportCsv(report));
    std::vector<std::vector<std::string>> stations, yield, serials;
    std::size_t headers = 0;
    for (const auto& line : lines) {
        ASSERT_FALSE(line.empty());
        if (line[0] == "section") ++headers;
        if (line[0] == "station") stations.push_back(line);
        if (line[0] == "yield") yield.push_back(line);
        if (line[0] == "failed_serial") serials.push_back(line);
        EXPECT_TRUE(line[0] == "section" || line[0] == "report" || line[0] == "yield" ||
                    line[0] == "code" || line[0] == "station" || line[0] == "failed_serial")
            << line[0];
    }
    EXPECT_EQ(headers, 5u);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1],
              (std::vector<std::string>{"report", path_, "2026-12-07T12:00:00.000Z", "",
                                        "2026-12-08T07:00:00.000Z", "2026-12-08T11:30:00.000Z", "6",
                                        "1", "5", "2", "3", "4"}));
    ASSERT_EQ(stations.size(), 2u);
    EXPECT_EQ(stations[0], (std::vector<std::string>{"station", kOddStation, "2", "1"}));
    ASSERT_EQ(yield.size(), 3u);
    EXPECT_EQ(yield[0], (std::vector<std::string>{"yield", "ZaRQ4126", "/srv/images/a.hex",
                                                  std::string(64, 'a'), "3", "2", "1", "66.6"}));
    ASSERT_EQ(serials.size(), 2u);
    EXPECT_EQ(serials[1][1], "103");
    EXPECT_EQ(serials[1][4], kOddStation);
    // Every line of a section has as many fields as its header.
    std::size_t width = 0;
    for (const auto& line : lines) {
        if (line[0] == "section") width = line.size();
        EXPECT_EQ(line.size(), width) << line[0];
    }
}

} // namespace
} // namespace talvex::testing
