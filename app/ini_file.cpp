#include "ini_file.h"

#include <atomic>
#include <cstdio>
#include <optional>
#include <string_view>

#include "file_replace.h"
#include "hex_digits.h"
#include "regular_file.h"

namespace talvex::ini {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1A';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsTrimmed(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsTrimmed(text.back())) text.remove_suffix(1);
    return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare by ASCII letters only, so that a user's locale cannot make
// "TalVex" and "Talvex" differ.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// Reads the whole file once, into one string. "No such file" (a first write
// creates it) is told apart from "cannot read it" and "refused" (a write
// must then not replace what it could not see).
FileCheck ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    detail::OpenedFile opened = detail::OpenForReading(path, kMaxFileBytes, false);
    if (opened.check.status != FileStatus::Readable) return std::move(opened.check);
    std::FILE* file = opened.file.get();
    char buffer[16384];
    // One byte beyond the cap tells a file that grew since it was opened.
    while (content.size() <= kMaxFileBytes) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        content.append(buffer, got);
        if (got < sizeof buffer) break;
    }
    if (std::ferror(file)) {
        content.clear();
        return {FileStatus::Unreadable, "cannot be read"};
    }
    if (content.size() > kMaxFileBytes) {
        const std::uint64_t size = content.size();
        content.clear();
        content.shrink_to_fit();
        return {FileStatus::Refused, detail::TooLargeReason(size) + " or more"};
    }
    return {FileStatus::Readable, {}};
}

enum class LineKind { Blank, Comment, Section, Key };

struct Line {
    std::size_t begin = 0; // first byte of the line (after a BOM on line one)
    std::size_t end = 0;   // one past the last byte before the line end
    std::size_t next = 0;  // first byte of the following line
    LineKind kind = LineKind::Blank;
    std::string_view name;                 // section or key name, trimmed
    std::optional<std::string_view> value; // trimmed; none without "="
    std::size_t equals = 0;                // position of the first "=" of a key line
};

std::size_t FirstLineStart(std::string_view content) {
    return content.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
}

// The line that starts at pos; false at the end of the content. Lines are
// looked at one by one and never all kept, so a file of a million short
// lines costs no more memory than its text.
bool NextLine(std::string_view content, std::size_t& pos, Line& line) {
    if (pos >= content.size()) return false;
    line = Line{};
    line.begin = pos;
    std::size_t end = content.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = content.size();
    line.end = end;
    if (end < content.size()) {
        line.next =
            end + ((content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n')
                       ? 2
                       : 1);
    } else {
        line.next = end;
    }
    pos = line.next;

    std::string_view raw = content.substr(line.begin, line.end - line.begin);
    std::string_view text = Trim(raw);
    if (text.empty()) {
        line.kind = LineKind::Blank;
    } else if (text.front() == ';') {
        line.kind = LineKind::Comment;
    } else if (text.front() == '[' && text.find(']') != std::string_view::npos) {
        line.kind = LineKind::Section;
        std::size_t close = text.rfind(']');
        line.name = Trim(text.substr(1, close - 1));
    } else {
        line.kind = LineKind::Key;
        std::size_t eq = raw.find('=');
        if (eq == std::string_view::npos) {
            line.name = text;
        } else {
            line.equals = line.begin + eq;
            line.name = Trim(raw.substr(0, eq));
            line.value = Trim(raw.substr(eq + 1));
        }
    }
    return true;
}

struct Location {
    std::optional<Line> section; // the section line
    std::optional<Line> key;     // the key line
    std::optional<Line> lastKey; // last key line of that section
};

// Only the first section of a name counts, and in it the first key of a name.
Location Find(std::string_view content, std::string_view section, std::string_view key) {
    Location where;
    std::size_t pos = FirstLineStart(content);
    Line line;
    while (NextLine(content, pos, line)) {
        if (line.kind == LineKind::Section && SameName(line.name, section)) {
            where.section = line;
            break;
        }
    }
    if (!where.section) return where;
    while (NextLine(content, pos, line)) {
        if (line.kind == LineKind::Section) break;
        if (line.kind != LineKind::Key) continue;
        where.lastKey = line;
        if (!where.key && SameName(line.name, key)) where.key = line;
    }
    return where;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

std::optional<std::string> LookUp(const std::string& path, const std::string& section,
                                  const std::string& key) {
    std::string content;
    if (ReadWholeFile(path, content).status != FileStatus::Readable) return std::nullopt;
    Location where = Find(content, section, key);
    if (!where.key || !where.key->value) return std::nullopt;
    return std::string(Unquote(*where.key->value));
}

// What a line-oriented file can hold and give back unchanged. Refusing the
// rest keeps a value from the command line from smuggling in lines of its
// own (a line break in a value would start a new key or section).
std::optional<std::string> WhyNotStorable(const std::string& section, const std::string& key,
                                          const std::string& value) {
    auto breaksLine = [](const std::string& s) {
        return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
    };
    if (breaksLine(value)) return "the value holds a line break or a NUL byte";
    if (section.empty() || key.empty() || breaksLine(section) || breaksLine(key) ||
        key.find('=') != std::string::npos || key.front() == ';' || key.front() == '[') {
        return "no valid section and key name";
    }
    return std::nullopt;
}

std::string_view DetectLineEnd(std::string_view content) {
    std::size_t pos = content.find_first_of("\r\n");
    if (pos == std::string_view::npos) return detail::NativeLineEnd();
    if (content[pos] == '\n') return "\n";
    if (pos + 1 < content.size() && content[pos + 1] == '\n') return "\r\n";
    return "\r";
}

bool EndsWithLineEnd(std::string_view content) {
    return content.empty() || content == kUtf8Bom || content.back() == '\n' ||
           content.back() == '\r';
}

} // namespace

std::string ReadText(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& defaultText, std::size_t size) {
    if (size == 0) return {};
    std::string text;
    if (std::optional<std::string> value = LookUp(path, section, key)) {
        text = std::move(*value);
    } else {
        text = defaultText;
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    }
    if (text.size() > size - 1) text.resize(size - 1);
    return text;
}

std::uint32_t ParseInt(std::string_view text, std::uint32_t defaultValue) {
    if (text.empty()) return defaultValue;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint32_t base = 10;
    if (text.size() >= 2 && text[0] == '0') {
        if (text[1] == 'x')
            base = 16;
        else if (text[1] == 'o')
            base = 8;
        else if (text[1] == 'b')
            base = 2;
        if (base != 10) text.remove_prefix(2);
    }
    std::uint32_t result = 0;
    for (char c : text) {
        const int value = HexDigitOrNone(c);
        if (value < 0 || static_cast<std::uint32_t>(value) >= base) break;
        const auto digit = static_cast<std::uint32_t>(value);
        result = result * base + digit; // unsigned: wraps modulo 2^32 by design
    }
    return negative ? 0u - result : result;
}

std::uint32_t ReadInt(const std::string& path, const std::string& section, const std::string& key,
                      std::uint32_t defaultValue) {
    std::optional<std::string> value = LookUp(path, section, key);
    return value ? ParseInt(*value, defaultValue) : defaultValue;
}

std::string ValueAsRead(std::string_view stored) { return std::string(Unquote(Trim(stored))); }

FileCheck CheckFile(const std::string& path) {
    return detail::OpenForReading(path, kMaxFileBytes, false).check;
}

bool WriteText(const std::string& path, const std::string& section, const std::string& key,
               const std::string& value, std::string* whyNot) {
    auto fail = [whyNot](std::string reason) {
        if (whyNot) *whyNot = std::move(reason);
        return false;
    };
    if (std::optional<std::string> reason = WhyNotStorable(section, key, value)) {
        return fail(std::move(*reason));
    }

    std::string content;
    const FileCheck read = ReadWholeFile(path, content);
    // Never replace what could not be read: a refused or unreadable file
    // would otherwise give way to a fresh one holding a single key.
    if (read.status == FileStatus::Unreadable || read.status == FileStatus::Refused) {
        return fail(read.reason);
    }

    const Location where = Find(content, section, key);
    const std::string_view eol = DetectLineEnd(content);
    const std::string_view whole = content;

    std::string updated;
    updated.reserve(content.size() + key.size() + value.size() + section.size() + 8);
    if (where.key) {
        const Line& line = *where.key;
        updated.append(whole.substr(0, line.begin));
        if (line.value) {
            updated.append(whole.substr(line.begin, line.equals + 1 - line.begin));
        } else {
            std::string_view raw = whole.substr(line.begin, line.end - line.begin);
            std::size_t nameEnd = raw.size();
            while (nameEnd > 0 && IsTrimmed(raw[nameEnd - 1])) --nameEnd;
            updated.append(raw.substr(0, nameEnd)).append("=");
        }
        updated.append(value).append(whole.substr(line.end));
    } else if (where.section) {
        const Line& after = where.lastKey ? *where.lastKey : *where.section;
        updated.append(whole.substr(0, after.next));
        if (after.next == after.end) updated.append(eol); // that line was the last, unended
        updated.append(key).append("=").append(value).append(eol);
        updated.append(whole.substr(after.next));
    } else {
        updated.append(whole);
        if (!EndsWithLineEnd(updated)) updated.append(eol);
        updated.append("[").append(section).append("]").append(eol);
        updated.append(key).append("=").append(value).append(eol);
    }

    if (read.status == FileStatus::Readable && updated == content) return true;
    if (updated.size() > kMaxFileBytes) {
        return fail("the file would grow to " + std::to_string(updated.size()) +
                    " bytes, past the " + std::to_string(kMaxFileBytes >> 20) +
                    " MB a settings file may have");
    }
    std::string reason;
    if (!detail::ReplaceFileDurably(path, updated, &reason)) return fail(std::move(reason));
    return true;
}

} // namespace talvex::ini

namespace talvex::detail {
namespace {
std::atomic<TempFileObserver> g_tempFileObserver{nullptr};
} // namespace

OpenedFile OpenForReading(const std::string& path, std::uint64_t maxBytes, bool textMode) {
    RegularFile opened = OpenRegularFileForReading(path, maxBytes, textMode);
    OpenedFile result;
    switch (opened.status) {
    case RegularFileStatus::Opened:
        result.file = std::move(opened.file);
        result.check = {ini::FileStatus::Readable, {}};
        break;
    case RegularFileStatus::Missing: result.check = {ini::FileStatus::Missing, {}}; break;
    case RegularFileStatus::CannotOpen:
        result.check = {ini::FileStatus::Unreadable, opened.reason.empty()
                                                         ? "cannot be read"
                                                         : "cannot be read: " + opened.reason};
        break;
    case RegularFileStatus::NotRegular:
        result.check = {ini::FileStatus::Refused, std::move(opened.reason)};
        break;
    case RegularFileStatus::TooLarge:
        result.check = {ini::FileStatus::Refused, TooLargeReason(opened.size)};
        break;
    }
    return result;
}

std::string TooLargeReason(std::uint64_t size) {
    return "larger than " + std::to_string(ini::kMaxFileBytes >> 20) +
           " MB: " + std::to_string(size) + " bytes";
}

void SetTempFileObserver(TempFileObserver observer) { g_tempFileObserver = observer; }

void NotifyTempFile(TempStage stage, const std::string& tempPath) {
    if (TempFileObserver observer = g_tempFileObserver.load()) observer(stage, tempPath);
}

} // namespace talvex::detail
