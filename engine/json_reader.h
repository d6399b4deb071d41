#pragma once
// A strict JSON reader: one value per text, no trailing characters, every
// escape checked, a key given twice refused. The run record is read back
// with it (the line report, and the tests, which stay independent of the
// writer they check).

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text; // a string's value, or a number as written
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool Has(const std::string& key) const { return members.count(key) != 0; }
    // The member; a null value when it is missing (Has tells them apart).
    const JsonValue& operator[](const std::string& key) const;
    bool IsNull() const { return type == Type::Null; }
    bool IsString() const { return type == Type::String; }
    bool IsObject() const { return type == Type::Object; }
    long long Int() const { return static_cast<long long>(number); }
    // The number exactly as written, when it is a whole number that fits:
    // a double would round serial numbers above 2^53.
    std::optional<std::int64_t> ExactInt() const;
    std::optional<std::uint64_t> ExactUnsigned() const;
};

class JsonReader {
public:
    // The value of the whole text, or nothing when it is not valid JSON.
    static std::optional<JsonValue> Parse(const std::string& text);
    // The same, and where the text stopped being JSON: the offset of the
    // first character that could not be taken.
    static std::optional<JsonValue> Parse(const std::string& text, std::size_t& errorAt);
};

} // namespace talvex
