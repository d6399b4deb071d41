#include "line_report.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

#include "front_texts.h"
#include "json_reader.h"
#include "regular_file.h"
#include "result_code.h"
#include "run_record.h"

namespace talvex {

namespace {

constexpr std::int64_t kSecondMs = 1000;
constexpr std::int64_t kDayMs = 86400 * kSecondMs;
// A line longer than this is no record the program wrote; it is passed over
// without being held in memory whole.
constexpr std::size_t kMaxLineBytes = 1 << 20;
// No line has seen a century of runs; a longer span is a typing mistake.
constexpr std::int64_t kMaxSinceMs = 36600 * kDayMs;

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar), the
// inverse of the count the record's times are written from.
std::int64_t DaysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool IsLeap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::int64_t DaysInMonth(std::int64_t year, std::int64_t month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Reads exactly `count` digits at pos.
bool Digits(const std::string& s, std::size_t& pos, std::size_t count, std::int64_t& value) {
    if (pos + count > s.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = s[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    return true;
}

bool Expect(const std::string& s, std::size_t& pos, char c) {
    if (pos >= s.size() || s[pos] != c) return false;
    ++pos;
    return true;
}

// "YYYY-MM-DD", then optionally "THH:MM", ":SS", ".mmm" and "Z", all UTC.
std::optional<std::int64_t> ParseUtc(const std::string& s) {
    std::size_t pos = 0;
    std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!Digits(s, pos, 4, year) || !Expect(s, pos, '-') || !Digits(s, pos, 2, month) ||
        !Expect(s, pos, '-') || !Digits(s, pos, 2, day)) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
    if (pos < s.size() && (s[pos] == 'T' || s[pos] == ' ')) {
        ++pos;
        if (!Digits(s, pos, 2, hour) || !Expect(s, pos, ':') || !Digits(s, pos, 2, minute)) {
            return std::nullopt;
        }
        if (pos < s.size() && s[pos] == ':') {
            ++pos;
            if (!Digits(s, pos, 2, second)) return std::nullopt;
            if (pos < s.size() && s[pos] == '.') {
                ++pos;
                if (!Digits(s, pos, 3, millis)) return std::nullopt;
            }
        }
        if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
        if (pos < s.size() && s[pos] == 'Z') ++pos;
    }
    if (pos != s.size()) return std::nullopt;
    return DaysFromCivil(year, month, day) * kDayMs + ((hour * 60 + minute) * 60 + second) * 1000 +
           millis;
}

bool CaselessEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string TextMember(const JsonValue& object, const char* key) {
    const JsonValue& v = object[key];
    return v.IsString() ? v.text : std::string();
}

// The run of one record line; false with the reason when it is none.
bool RowFromLine(const std::string& line, ReportRow& row, std::string& why) {
    std::size_t errorAt = 0;
    const std::optional<JsonValue> parsed = JsonReader::Parse(line, errorAt);
    if (!parsed) {
        why = "not JSON (at character " + std::to_string(errorAt + 1) + ")";
        return false;
    }
    const JsonValue& r = *parsed;
    if (!r.IsObject()) {
        why = "not a run record (not a JSON object)";
        return false;
    }
    const std::optional<std::int64_t> start =
        r["start"].IsString() ? ParseRecordTime(r["start"].text) : std::nullopt;
    if (!start) {
        why = "not a run record (no \"start\" time)";
        return false;
    }
    const std::optional<std::int64_t> code = r["result"]["code"].ExactInt();
    if (!code || *code < 0 || *code > 255) {
        why = "not a run record (no \"result\" code from 0 to 255)";
        return false;
    }
    row = ReportRow{};
    row.startUnixMs = *start;
    // Records from before [Line] Station have the host alone.
    row.station = TextMember(r, "station");
    if (row.station.empty()) row.station = TextMember(r, "host");
    row.port = TextMember(r, "port");
    row.part = TextMember(r, "part");
    row.code = static_cast<int>(*code);
    const JsonValue& image = r["image"];
    // Only a run that downloaded nothing writes its image as null.
    row.download = !(r.Has("image") && image.IsNull());
    row.imagePath = TextMember(image, "path");
    row.imageSha256 = TextMember(image, "sha256");
    if (r.Has("serial")) {
        row.serial = r["serial"]["number"].ExactUnsigned();
        if (!row.serial) {
            why = "not a run record (\"serial\" without a number)";
            return false;
        }
    }
    return true;
}

// One line of the file without its line end; false at the end of the file.
// A line too long to be a record is read to its end and flagged.
bool NextLine(std::FILE* file, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    int c = 0;
    bool any = false;
    while ((c = std::getc(file)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (line.size() < kMaxLineBytes)
            line += static_cast<char>(c);
        else
            tooLong = true;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

std::string FileName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The width a terminal gives a UTF-8 text: one column per character.
std::size_t Columns(const std::string& text) {
    std::size_t n = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    }
    return n;
}

// A plain-text table: text left-aligned, numbers right-aligned, two blanks
// between columns, no blanks at a line's end.
class TextTable {
public:
    TextTable(std::vector<std::string> headers, std::vector<bool> rightAligned)
        : right_(std::move(rightAligned)) {
        rows_.push_back(std::move(headers));
    }
    void Add(std::vector<std::string> cells) {
        for (std::string& cell : cells) cell = StatusRowUtf8(cell);
        rows_.push_back(std::move(cells));
    }
    std::string Text() const {
        std::vector<std::size_t> widths(rows_.front().size(), 0);
        for (const auto& row : rows_) {
            for (std::size_t i = 0; i < row.size(); ++i)
                widths[i] = std::max(widths[i], Columns(row[i]));
        }
        std::string out;
        for (const auto& row : rows_) {
            std::string line;
            for (std::size_t i = 0; i < row.size(); ++i) {
                const std::string pad(widths[i] - Columns(row[i]), ' ');
                if (i > 0) line += "  ";
                line += right_[i] ? pad + row[i] : row[i] + pad;
            }
            line.erase(line.find_last_not_of(' ') + 1);
            out += line + "\n";
        }
        return out;
    }

private:
    std::vector<bool> right_;
    std::vector<std::vector<std::string>> rows_;
};

std::string YieldText(std::size_t passed, std::size_t boards) {
    const int tenths = YieldTenths(passed, boards);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string ShortSha(const std::string& sha) { return sha.empty() ? "unknown" : sha.substr(0, 12); }

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        line += CsvField(fields[i]);
    }
    return line + "\n";
}

std::string OptionalTime(const std::optional<std::int64_t>& unixMs) {
    return unixMs ? FormatUtcTime(*unixMs) : std::string();
}

} // namespace

bool ParseSince(const std::string& text, std::int64_t nowUnixMs, std::int64_t& sinceUnixMs,
                std::string& whyNot) {
    if (const std::optional<std::int64_t> at = ParseUtc(text)) {
        if (*at > nowUnixMs) {
            whyNot = "a time that has come, not \"" + text + "\" (times are UTC)";
            return false;
        }
        sinceUnixMs = *at;
        return true;
    }
    static constexpr struct {
        char unit;
        std::int64_t ms;
    } kUnits[] = {{'s', kSecondMs},
                  {'m', 60 * kSecondMs},
                  {'h', 3600 * kSecondMs},
                  {'d', kDayMs},
                  {'w', 7 * kDayMs}};
    const std::string usage =
        "a span back from now (30s, 90m, 24h, 7d, 2w) or a UTC date or "
        "time (2026-12-07, 2026-12-07T14:00), not \"" +
        text + "\"";
    if (text.size() < 2 || text.size() > 8 ||
        text.find_first_not_of("0123456789") != text.size() - 1) {
        whyNot = usage;
        return false;
    }
    for (const auto& unit : kUnits) {
        if (text.back() != unit.unit) continue;
        const std::int64_t count = std::stoll(text.substr(0, text.size() - 1));
        if (count == 0 || count > kMaxSinceMs / unit.ms) {
            whyNot = "a span from 1s to 100 years (36600d), not \"" + text + "\"";
            return false;
        }
        sinceUnixMs = nowUnixMs - count * unit.ms;
        return true;
    }
    whyNot = usage;
    return false;
}

std::optional<std::int64_t> ParseRecordTime(const std::string& text) { return ParseUtc(text); }

std::vector<ReportRow> ReadRecordFileRows(const std::string& path, std::string& problem,
                                          std::vector<std::string>& skipped) {
    std::vector<ReportRow> rows;
    problem.clear();
    RegularFile opened = OpenRegularFileForReading(path);
    if (opened.status != RegularFileStatus::Opened) {
        problem = "record file " + path + " cannot be read (" +
                  (opened.reason.empty() ? std::string("it cannot be opened") : opened.reason) +
                  ")";
        return rows;
    }
    std::FILE* file = opened.file.get();
    std::string line;
    bool tooLong = false;
    for (std::size_t number = 1; NextLine(file, line, tooLong); ++number) {
        if (!tooLong && line.find_first_not_of(" \t") == std::string::npos) continue;
        ReportRow row;
        std::string why;
        if (tooLong) {
            why = "longer than " + std::to_string(kMaxLineBytes) + " bytes, not a run record";
        } else if (RowFromLine(line, row, why)) {
            rows.push_back(std::move(row));
            continue;
        }
        std::string entry = path;
        entry += ", line " + std::to_string(number) + ": ";
        skipped.push_back(entry += why);
    }
    if (std::ferror(file)) {
        // Half a file would give figures that look whole.
        problem = "record file " + path + " could not be read to its end";
        rows.clear();
    }
    return rows;
}

int YieldTenths(std::size_t passed, std::size_t boards) {
    if (boards == 0) return 0;
    return static_cast<int>(static_cast<unsigned long long>(passed) * 1000 / boards);
}

LineReport BuildReport(const std::vector<ReportRow>& rows, const ReportFilter& filter) {
    LineReport report;
    report.filter = filter;
    using YieldKey = std::tuple<std::string, std::string, std::string>;
    std::map<YieldKey, LineReport::Yield> yield;
    std::map<int, std::size_t> codes;
    std::map<std::string, LineReport::Station> stations;
    for (const ReportRow& row : rows) {
        if (filter.sinceUnixMs && row.startUnixMs < *filter.sinceUnixMs) continue;
        if (!filter.part.empty() && !CaselessEqual(row.part, filter.part)) continue;
        ++report.runs;
        if (!report.firstUnixMs || row.startUnixMs < *report.firstUnixMs)
            report.firstUnixMs = row.startUnixMs;
        if (!report.lastUnixMs || row.startUnixMs > *report.lastUnixMs)
            report.lastUnixMs = row.startUnixMs;
        if (!row.download) {
            ++report.runResetOnly;
            continue;
        }
        const bool passed = row.code == 0;
        ++report.boards;
        LineReport::Yield& y = yield[{row.part, row.imagePath, row.imageSha256}];
        y.part = row.part;
        y.imagePath = row.imagePath;
        y.imageSha256 = row.imageSha256;
        ++y.boards;
        LineReport::Station& station = stations[row.station];
        station.name = row.station;
        ++station.boards;
        if (passed) {
            ++report.passed;
            ++y.passed;
            continue;
        }
        ++codes[row.code];
        ++station.failed;
        if (row.serial) {
            report.failedSerials.push_back(
                {*row.serial, row.startUnixMs, row.part, row.station, row.port, row.code});
        } else {
            ++report.failedWithoutSerial;
        }
    }
    for (auto& entry : yield) report.yield.push_back(std::move(entry.second));
    for (const auto& entry : codes) report.failuresByCode.push_back({entry.first, entry.second});
    for (auto& entry : stations) report.stations.push_back(std::move(entry.second));
    std::stable_sort(report.failedSerials.begin(), report.failedSerials.end(),
                     [](const LineReport::FailedBoard& a, const LineReport::FailedBoard& b) {
                         return a.startUnixMs < b.startUnixMs;
                     });
    return report;
}

std::string FormatReportText(const LineReport& r) {
    std::string out = "Line report of " + Printable(r.source) + "\n";
    out += "Runs " +
           (r.filter.sinceUnixMs ? "since " + FormatUtcTime(*r.filter.sinceUnixMs)
                                 : std::string("of the whole record")) +
           ", " + (r.filter.part.empty() ? "all parts" : "part " + Printable(r.filter.part)) + "\n";
    if (r.skippedLines > 0) {
        out += r.skippedLines == 1
                   ? std::string("1 line of the source is not a run record and is left out\n")
                   : std::to_string(r.skippedLines) +
                         " lines of the source are not run records and are left out\n";
    }
    if (r.runs == 0) return out + "No runs.\n";
    out += Plural(r.runs, "run", "runs") + " from " + FormatUtcTime(*r.firstUnixMs) + " to " +
           FormatUtcTime(*r.lastUnixMs) + ": " + Plural(r.boards, "board", "boards") + " (" +
           std::to_string(r.passed) + " passed, " + std::to_string(r.boards - r.passed) +
           " failed)";
    if (r.runResetOnly > 0) {
        out += ", " + std::to_string(r.runResetOnly) + " Run/Reset on its own not counted";
    }
    out += "\n";
    if (r.boards == 0) return out;

    out += "\nYield per part and image\n";
    TextTable yield({"Part", "Image", "SHA-256", "Boards", "Passed", "Failed", "Yield %"},
                    {false, false, false, true, true, true, true});
    for (const LineReport::Yield& y : r.yield) {
        yield.Add({y.part, FileName(y.imagePath), ShortSha(y.imageSha256), std::to_string(y.boards),
                   std::to_string(y.passed), std::to_string(y.boards - y.passed),
                   YieldText(y.passed, y.boards)});
    }
    out += yield.Text();

    if (r.failuresByCode.empty()) return out + "\nNo failures.\n";
    out += "\nFailures per exit code\n";
    TextTable codes({"Code", "Meaning", "Boards"}, {true, false, true});
    for (const LineReport::CodeFailures& c : r.failuresByCode) {
        codes.Add({std::to_string(c.code), ExitCodeMeaning(c.code), std::to_string(c.boards)});
    }
    out += codes.Text();

    out += "\nFailures per station\n";
    TextTable stations({"Station", "Boards", "Failed"}, {false, true, true});
    for (const LineReport::Station& s : r.stations) {
        stations.Add({s.name, std::to_string(s.boards), std::to_string(s.failed)});
    }
    out += stations.Text();

    out += "\nSerial numbers of failed boards\n";
    if (r.failedSerials.empty()) {
        out += "None: no failed board had a serial number.\n";
    } else {
        TextTable serials({"Serial", "Start", "Part", "Station", "Port", "Code"},
                          {true, false, false, false, false, true});
        for (const LineReport::FailedBoard& f : r.failedSerials) {
            serials.Add({std::to_string(f.serial), FormatUtcTime(f.startUnixMs), f.part, f.station,
                         f.port, std::to_string(f.code)});
        }
        out += serials.Text();
    }
    if (r.failedWithoutSerial > 0) {
        out += Plural(r.failedWithoutSerial, "failed board has", "failed boards have") +
               " no serial number.\n";
    }
    return out;
}

std::string FormatReportCsv(const LineReport& r) {
    std::string out = CsvLine({"section", "source", "since", "part", "first", "last", "runs",
                               "run_reset_only", "boards", "passed", "failed", "skipped_lines"});
    out +=
        CsvLine({"report", r.source, OptionalTime(r.filter.sinceUnixMs), r.filter.part,
                 OptionalTime(r.firstUnixMs), OptionalTime(r.lastUnixMs), std::to_string(r.runs),
                 std::to_string(r.runResetOnly), std::to_string(r.boards), std::to_string(r.passed),
                 std::to_string(r.boards - r.passed), std::to_string(r.skippedLines)});
    out += CsvLine(
        {"section", "part", "image", "sha256", "boards", "passed", "failed", "yield_percent"});
    for (const LineReport::Yield& y : r.yield) {
        out += CsvLine({"yield", y.part, y.imagePath, y.imageSha256, std::to_string(y.boards),
                        std::to_string(y.passed), std::to_string(y.boards - y.passed),
                        YieldText(y.passed, y.boards)});
    }
    out += CsvLine({"section", "code", "meaning", "boards"});
    for (const LineReport::CodeFailures& c : r.failuresByCode) {
        out += CsvLine(
            {"code", std::to_string(c.code), ExitCodeMeaning(c.code), std::to_string(c.boards)});
    }
    out += CsvLine({"section", "station", "boards", "failed"});
    for (const LineReport::Station& s : r.stations) {
        out += CsvLine({"station", s.name, std::to_string(s.boards), std::to_string(s.failed)});
    }
    out += CsvLine({"section", "serial", "start", "part", "station", "port", "code"});
    for (const LineReport::FailedBoard& f : r.failedSerials) {
        out += CsvLine({"failed_serial", std::to_string(f.serial), FormatUtcTime(f.startUnixMs),
                        f.part, f.station, f.port, std::to_string(f.code)});
    }
    return out;
}

} // namespace talvex
