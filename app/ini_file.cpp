#include "ini_file.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "file_replace.h"

namespace talvex::ini {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsTrimmed(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\x1A';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsTrimmed(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsTrimmed(text.back())) text.remove_suffix(1);
    return text;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names compare by ASCII letters only, so that a user's locale cannot make
// "TalVex" and "Talvex" differ.
bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

enum class FileState { Read, Missing, Failed };

// fopen is used rather than a stream so that "no such file" (a first write
// creates it) can be told from "cannot read it" (a write must then not
// replace what it could not see).
FileState ReadWholeFile(const std::string& path, std::string& content)
{
    content.clear();
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    errno = 0;
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return (errno == ENOENT || errno == ENOTDIR) ? FileState::Missing : FileState::Failed;
    }
    char buffer[16384];
    for (;;) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        content.append(buffer, got);
        if (got < sizeof buffer) break;
    }
    return std::ferror(file.get()) ? FileState::Failed : FileState::Read;
}

enum class LineKind { Blank, Comment, Section, Key };

struct Line {
    std::size_t begin = 0;   // first byte of the line (after a BOM on line one)
    std::size_t end = 0;     // one past the last byte before the line end
    std::size_t next = 0;    // first byte of the following line
    LineKind kind = LineKind::Blank;
    std::string_view name;   // section or key name, trimmed
    std::optional<std::string_view> value; // trimmed; none without "="
    std::size_t equals = 0;  // position of the first "=" of a key line
};

std::vector<Line> SplitLines(std::string_view content)
{
    std::vector<Line> lines;
    std::size_t pos = content.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    while (pos < content.size()) {
        Line line;
        line.begin = pos;
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = content.size();
        line.end = end;
        if (end < content.size()) {
            line.next = end + ((content[end] == '\r' && end + 1 < content.size() &&
                                content[end + 1] == '\n') ? 2 : 1);
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
        lines.push_back(line);
    }
    return lines;
}

struct Location {
    std::optional<std::size_t> section; // index of the section line
    std::optional<std::size_t> key;     // index of the key line
    std::optional<std::size_t> lastKey; // last key line of that section
};

// Only the first section of a name counts, and in it the first key of a name.
Location Find(const std::vector<Line>& lines, std::string_view section, std::string_view key)
{
    Location where;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == LineKind::Section && SameName(lines[i].name, section)) {
            where.section = i;
            break;
        }
    }
    if (!where.section) return where;
    for (std::size_t i = *where.section + 1; i < lines.size(); ++i) {
        if (lines[i].kind == LineKind::Section) break;
        if (lines[i].kind != LineKind::Key) continue;
        where.lastKey = i;
        if (!where.key && SameName(lines[i].name, key)) where.key = i;
    }
    return where;
}

std::optional<std::string> LookUp(const std::string& path, const std::string& section,
                                  const std::string& key)
{
    std::string content;
    if (ReadWholeFile(path, content) != FileState::Read) return std::nullopt;
    std::vector<Line> lines = SplitLines(content);
    Location where = Find(lines, section, key);
    if (!where.key || !lines[*where.key].value) return std::nullopt;
    std::string_view value = *lines[*where.key].value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

// What a line-oriented file can hold and give back unchanged. Refusing the
// rest keeps a value from the command line from smuggling in lines of its
// own (a line break in a value would start a new key or section).
bool Storable(const std::string& section, const std::string& key, const std::string& value)
{
    auto breaksLine = [](const std::string& s) {
        return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
    };
    if (section.empty() || key.empty()) return false;
    if (breaksLine(section) || breaksLine(key) || breaksLine(value)) return false;
    if (key.find('=') != std::string::npos) return false;
    if (key.front() == ';' || key.front() == '[') return false;
    return true;
}

std::string_view DetectLineEnd(std::string_view content)
{
    std::size_t pos = content.find_first_of("\r\n");
    if (pos == std::string_view::npos) return detail::NativeLineEnd();
    if (content[pos] == '\n') return "\n";
    if (pos + 1 < content.size() && content[pos + 1] == '\n') return "\r\n";
    return "\r";
}

bool EndsWithLineEnd(std::string_view content)
{
    return content.empty() || content == kUtf8Bom || content.back() == '\n' ||
           content.back() == '\r';
}

} // namespace

std::string ReadText(const std::string& path, const std::string& section,
                     const std::string& key, const std::string& defaultText,
                     std::size_t size)
{
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

std::uint32_t ReadInt(const std::string& path, const std::string& section,
                      const std::string& key, std::uint32_t defaultValue)
{
    std::optional<std::string> value = LookUp(path, section, key);
    if (!value || value->empty()) return defaultValue;

    std::string_view text = *value;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint32_t base = 10;
    if (text.size() >= 2 && text[0] == '0') {
        if (text[1] == 'x') base = 16;
        else if (text[1] == 'o') base = 8;
        else if (text[1] == 'b') base = 2;
        if (base != 10) text.remove_prefix(2);
    }
    std::uint32_t result = 0;
    for (char c : text) {
        std::uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else break;
        if (digit >= base) break;
        result = result * base + digit; // unsigned: wraps modulo 2^32 by design
    }
    return negative ? 0u - result : result;
}

bool WriteText(const std::string& path, const std::string& section, const std::string& key,
               const std::string& value)
{
    if (!Storable(section, key, value)) return false;

    std::string content;
    FileState state = ReadWholeFile(path, content);
    if (state == FileState::Failed) return false; // never replace what we could not read

    const std::vector<Line> lines = SplitLines(content);
    const Location where = Find(lines, section, key);
    const std::string_view eol = DetectLineEnd(content);
    const std::string entry = key + "=" + value;

    std::string updated;
    if (where.key) {
        const Line& line = lines[*where.key];
        std::string head;
        if (line.value) {
            head = content.substr(line.begin, line.equals + 1 - line.begin);
        } else {
            std::string_view raw(content.data() + line.begin, line.end - line.begin);
            std::size_t nameEnd = raw.size();
            while (nameEnd > 0 && IsTrimmed(raw[nameEnd - 1])) --nameEnd;
            head = std::string(raw.substr(0, nameEnd)) + "=";
        }
        updated = content.substr(0, line.begin) + head + value + content.substr(line.end);
    } else if (where.section) {
        const Line& after = lines[where.lastKey ? *where.lastKey : *where.section];
        std::string insert;
        if (after.next == after.end) insert += eol; // that line was the last, unended
        insert += entry;
        insert += eol;
        updated = content.substr(0, after.next) + insert + content.substr(after.next);
    } else {
        updated = content;
        if (!EndsWithLineEnd(updated)) updated += eol;
        updated += "[" + section + "]";
        updated += eol;
        updated += entry;
        updated += eol;
    }

    if (state == FileState::Read && updated == content) return true;
    return detail::ReplaceFileDurably(path, updated);
}

} // namespace talvex::ini
