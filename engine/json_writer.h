#pragma once
// A small writer for one-line JSON objects: the run record. Every text goes
// out as valid JSON whatever bytes it holds (an identification text may
// carry any byte the target sent).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talvex {

// The text as a JSON string, quotes included. Valid UTF-8 is kept as it is;
// control characters are escaped, and a byte that is not part of valid UTF-8
// becomes the character of the same number (\u00XX), so that nothing is
// dropped and the line stays valid JSON.
std::string JsonQuote(std::string_view text);

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    // The name of the next member; a value or an object must follow.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Integer(std::int64_t value);
    // value / 10^decimals written with exactly that many decimals, e.g.
    // Fixed(12345, 3) is 12.345 (0 to 9 decimals); no locale can turn the point into a comma.
    JsonWriter& Fixed(std::int64_t value, int decimals);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    const std::string& Text() const { return out_; }

private:
    std::string out_;
    // Per open object: whether it has a member yet.
    std::vector<bool> hasMember_;
};

} // namespace talvex
