#include "serial_settings.h"

#include <cstring>
#include <filesystem>

#include "hex_digits.h"
#include "ini_file.h"
#include "utf16.h"

namespace talvex {
namespace {

constexpr const char* kDatabaseCounterPrefix = "db:";

// No one types a control character into a settings file, so this default
// tells a missing key from an empty one.
constexpr char kAbsent[] = "\x01";

std::optional<std::uint64_t> ParseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint32_t> ParseHexAddress(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
    }
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        const int digit = HexDigitOrNone(c);
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigitOrNone(text[i]);
        const int low = HexDigitOrNone(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

struct FormatName {
    const char* name;
    SerialFormat format;
};
constexpr FormatName kFormats[] = {
    {"le", SerialFormat::Le},       {"be", SerialFormat::Be},
    {"ascii", SerialFormat::Ascii}, {"hexascii", SerialFormat::HexAscii},
    {"bcd", SerialFormat::Bcd},
};

} // namespace

std::string CounterName(const SerialSettings& serial) {
    return serial.counterDb.empty() ? serial.counterPath
                                    : kDatabaseCounterPrefix + serial.counterDb;
}

bool ValidDatabaseCounterName(const std::string& name) {
    if (name.empty() || name.size() > 63) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

const char* SerialFormatName(SerialFormat format) {
    for (const FormatName& f : kFormats) {
        if (f.format == format) return f.name;
    }
    return "?";
}

std::string FormatHexBytes(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

SerialSection ReadSerialSection(const std::string& settingsPath) {
    SerialSection section;
    struct Value {
        const char* key;
        std::string text;
        bool present = false;
    };
    Value values[] = {{"Address", {}}, {"Bytes", {}}, {"Format", {}},      {"Counter", {}},
                      {"Step", {}},    {"Last", {}},  {"Placeholder", {}}, {"First", {}}};
    bool any = false;
    for (Value& v : values) {
        v.text = ini::ReadText(settingsPath, "Serial", v.key, kAbsent, ini::kWholeValue);
        v.present = v.text != kAbsent;
        if (!v.present) v.text.clear();
        any = any || v.present;
    }
    if (!any) return section;

    const auto refuse = [&](const Value& v, const std::string& why) {
        section.problem =
            "Settings file " + settingsPath + ": [Serial] " + v.key + "=" + v.text + " " + why;
        return section;
    };
    const Value& address = values[0];
    const Value& bytes = values[1];
    const Value& format = values[2];
    const Value& counter = values[3];
    const Value& step = values[4];
    const Value& last = values[5];
    const Value& placeholder = values[6];
    const Value& first = values[7];

    SerialSettings s;
    const auto a = ParseHexAddress(address.text);
    if (!a) return refuse(address, "is not a hexadecimal flash address.");
    s.address = *a;
    const auto n = ParseDecimal(bytes.text);
    if (!n || *n < 1 || *n > kMaxSerialBytes) return refuse(bytes, "is not a count from 1 to 16.");
    s.bytes = static_cast<int>(*n);
    bool known = false;
    for (const FormatName& f : kFormats) {
        if (format.text == f.name) {
            s.format = f.format;
            known = true;
        }
    }
    if (!known) return refuse(format, "is not one of le, be, ascii, hexascii, bcd.");
    s.formatText = format.text;
    if (counter.text.empty()) return refuse(counter, "does not name a counter file.");
    if (counter.text.rfind(kDatabaseCounterPrefix, 0) == 0) {
        s.counterDb = counter.text.substr(std::strlen(kDatabaseCounterPrefix));
        if (!ValidDatabaseCounterName(s.counterDb)) {
            return refuse(counter,
                          "is not a database counter name (db: then 1 to 63 letters, "
                          "digits, '_', '-' or '.').");
        }
    } else {
        // Stations that share a settings folder share the counter beside it,
        // whatever folder each was started from.
        std::filesystem::path counterPath = PathFromUtf8(counter.text);
        if (counterPath.is_relative()) {
            counterPath = PathFromUtf8(settingsPath).parent_path() / counterPath;
        }
        s.counterPath = Utf8FromPath(counterPath);
    }
    if (step.present) {
        const auto value = ParseDecimal(step.text);
        if (!value || *value == 0) return refuse(step, "is not a whole number from 1 up.");
        s.step = *value;
    }
    if (last.present) {
        const auto value = ParseDecimal(last.text);
        if (!value) return refuse(last, "is not a whole number.");
        s.last = *value;
    }
    if (first.present) {
        const auto value = ParseDecimal(first.text);
        if (!value) return refuse(first, "is not a whole number.");
        s.first = *value;
    }
    if (placeholder.present && !placeholder.text.empty()) {
        const auto value = ParseHexBytes(placeholder.text);
        if (!value || static_cast<int>(value->size()) != s.bytes) {
            return refuse(placeholder, "is not " + std::to_string(s.bytes) +
                                           " bytes in hexadecimal digits (Bytes=" +
                                           std::to_string(s.bytes) + ").");
        }
        s.placeholder = *value;
    }
    section.settings = s;
    return section;
}

} // namespace talvex
