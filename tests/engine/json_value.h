#pragma once
// A strict JSON reader for the tests, independent of the writer under test:
// one value per text, no trailing characters, every escape checked. Enough
// to look into a run record line as a quality engineer's tools would.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvex::testing {

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text; // a string's value, or a number as written
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool Has(const std::string& key) const { return members.count(key) != 0; }
    // The member; a null value when it is missing (Has tells them apart).
    const JsonValue& operator[](const std::string& key) const {
        static const JsonValue kNull;
        const auto it = members.find(key);
        return it == members.end() ? kNull : it->second;
    }
    bool IsNull() const { return type == Type::Null; }
    long long Int() const { return static_cast<long long>(number); }
};

class JsonReader {
public:
    // The value of the whole text, or nothing when it is not valid JSON.
    static std::optional<JsonValue> Parse(const std::string& text) {
        JsonReader reader(text);
        JsonValue value;
        if (!reader.Value(value, 0)) return std::nullopt;
        reader.Space();
        if (reader.pos_ != text.size()) return std::nullopt;
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : s_(text) {}

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
    static void PutUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (pos_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false; // raw control characters are not JSON
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= s_.size()) return false;
            const char e = s_[pos_++];
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
                if (pos_ + 4 > s_.size()) return false;
                std::uint32_t cp = 0;
                for (int i = 0; i < 4; ++i) {
                    const int d = Hex(s_[pos_++]);
                    if (d < 0) return false;
                    cp = cp * 16 + static_cast<std::uint32_t>(d);
                }
                PutUtf8(out, cp);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool Number(JsonValue& v) {
        const std::size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        const std::size_t digits = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        if (pos_ == digits || (s_[digits] == '0' && pos_ - digits > 1)) return false;
        if (pos_ < s_.size() && s_[pos_] == '.') {
            const std::size_t fraction = ++pos_;
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
            if (pos_ == fraction) return false;
        }
        v.type = JsonValue::Type::Number;
        v.text = s_.substr(start, pos_ - start);
        v.number = std::stod(v.text);
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
                if (!String(key) || !Take(':')) return false;
                if (v.members.count(key) != 0) return false; // a key twice is a fault here
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

} // namespace talvex::testing
