#include "json_writer.h"

#include <cstdio>

namespace talvex {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none
// (overlong forms, surrogates and values above U+10FFFF count as invalid).
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    std::size_t length;
    std::uint32_t value;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        value = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        value = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        value = b0 & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
        value = (value << 6) | (byte(i + k) & 0x3Fu);
    }
    if (length == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) return 0;
    if (length == 4 && (value < 0x10000 || value > 0x10FFFF)) return 0;
    return length;
}

} // namespace

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = Utf8Length(text, i);
            if (length > 0) {
                out.append(text.substr(i, length));
                i += length;
                continue;
            }
        }
        char escaped[8];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

JsonWriter& JsonWriter::BeginObject() {
    out_ += '{';
    hasMember_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    out_ += '}';
    if (!hasMember_.empty()) hasMember_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
    if (!hasMember_.empty()) {
        if (hasMember_.back()) out_ += ',';
        hasMember_.back() = true;
    }
    out_ += JsonQuote(name);
    out_ += ':';
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
    out_ += JsonQuote(text);
    return *this;
}

JsonWriter& JsonWriter::Integer(std::int64_t value) {
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Fixed(std::int64_t value, int decimals) {
    decimals = decimals < 0 ? 0 : decimals > 9 ? 9 : decimals;
    std::int64_t scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    // Work on the magnitude as unsigned so that the most negative value
    // cannot overflow.
    const bool negative = value < 0;
    const std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    const auto unit = static_cast<std::uint64_t>(scale);
    if (negative) out_ += '-';
    out_ += std::to_string(magnitude / unit);
    if (decimals > 0) {
        std::string fraction = std::to_string(magnitude % unit);
        out_ += '.';
        out_ += std::string(static_cast<std::size_t>(decimals) - fraction.size(), '0') + fraction;
    }
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    out_ += "null";
    return *this;
}

} // namespace talvex
