#include "json_reader.h"

#include <cerrno>
#include <cstdlib>

#include "utf16.h"

namespace talvex {

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}

    bool Whole(JsonValue& value) {
        if (!Value(value, 0)) return false;
        Space();
        return pos_ == s_.size();
    }
    std::size_t Position() const { return pos_; }

private:
    void Space() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool Take(char c) {
        Space();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool Word(const char* word) {
        const std::string w = word;
        if (s_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        return true;
    }
    static int Hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    // Four hexadecimal digits at pos_, the code unit of a \u escape.
    bool CodeUnit(std::u16string& units) {
        if (pos_ + 4 > s_.size()) return false;
        std::uint32_t unit = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int d = Hex(s_[pos_ + i]);
            if (d < 0) return false;
            unit = unit * 16 + static_cast<std::uint32_t>(d);
        }
        pos_ += 4;
        units += static_cast<char16_t>(unit);
        return true;
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (pos_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return false; // raw control characters are not JSON
            ++pos_;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= s_.size()) return false;
            const char e = s_[pos_];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                // Escapes that follow on are one UTF-16 text, so that a
                // surrogate pair becomes one character; half a pair is
                // damage.
                std::u16string units;
                const std::size_t escapeAt = pos_ - 1;
                ++pos_;
                if (!CodeUnit(units)) return false;
                while (s_.compare(pos_, 2, "\\u") == 0) {
                    pos_ += 2;
                    if (!CodeUnit(units)) return false;
                }
                const std::optional<std::string> text = Utf16ToUtf8(units);
                if (!text) {
                    pos_ = escapeAt;
                    return false;
                }
                out += *text;
                continue;
            }
            default: return false;
            }
            ++pos_;
        }
        return false;
    }
    void Digits() {
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    }
    bool Number(JsonValue& v) {
        const std::size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        const std::size_t digits = pos_;
        Digits();
        if (pos_ == digits) return false;
        if (s_[digits] == '0' && pos_ - digits > 1) {
            pos_ = digits + 1;
            return false;
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            const std::size_t fraction = ++pos_;
            Digits();
            if (pos_ == fraction) return false;
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            const std::size_t exponent = pos_;
            Digits();
            if (pos_ == exponent) return false;
        }
        v.type = JsonValue::Type::Number;
        v.text = s_.substr(start, pos_ - start);
        // strtod, not stod: a number too large for a double is damage to
        // report, not an exception that ends the program.
        v.number = std::strtod(v.text.c_str(), nullptr);
        return true;
    }
    bool Value(JsonValue& v, int depth) {
        if (depth > 32) return false;
        Space();
        if (pos_ >= s_.size()) return false;
        const char c = s_[pos_];
        if (c == '{') {
            ++pos_;
            v.type = JsonValue::Type::Object;
            if (Take('}')) return true;
            do {
                std::string key;
                Space();
                const std::size_t keyAt = pos_;
                if (!String(key)) return false;
                if (v.members.count(key) != 0) { // a key twice is a fault here
                    pos_ = keyAt;
                    return false;
                }
                if (!Take(':')) return false;
                if (!Value(v.members[key], depth + 1)) return false;
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++pos_;
            v.type = JsonValue::Type::Array;
            if (Take(']')) return true;
            do {
                v.items.emplace_back();
                if (!Value(v.items.back(), depth + 1)) return false;
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            v.type = JsonValue::Type::String;
            return String(v.text);
        }
        if (Word("true")) {
            v.type = JsonValue::Type::Bool;
            v.boolean = true;
            return true;
        }
        if (Word("false")) {
            v.type = JsonValue::Type::Bool;
            return true;
        }
        if (Word("null")) return true;
        return Number(v);
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

} // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue kNull;
    const auto it = members.find(key);
    return it == members.end() ? kNull : it->second;
}

std::optional<std::int64_t> JsonValue::ExactInt() const {
    if (type != Type::Number || text.find_first_of(".eE") != std::string::npos) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
    return static_cast<std::int64_t>(n);
}

std::optional<std::uint64_t> JsonValue::ExactUnsigned() const {
    if (type != Type::Number || text.empty() || text[0] == '-' ||
        text.find_first_of(".eE") != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
    return static_cast<std::uint64_t>(n);
}

std::optional<JsonValue> JsonReader::Parse(const std::string& text) {
    std::size_t errorAt = 0;
    return Parse(text, errorAt);
}

std::optional<JsonValue> JsonReader::Parse(const std::string& text, std::size_t& errorAt) {
    Parser parser(text);
    JsonValue value;
    if (!parser.Whole(value)) {
        errorAt = parser.Position();
        return std::nullopt;
    }
    errorAt = 0;
    return value;
}

} // namespace talvex
