#pragma once
// The [Serial] section: where and how each board gets its own number, and
// the counter file the numbers come from.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

enum class SerialFormat { Le, Be, Ascii, HexAscii, Bcd };

struct SerialSettings {
    std::uint32_t address = 0; // as written in the settings file
    int bytes = 0;             // 1 to kMaxSerialBytes
    SerialFormat format = SerialFormat::Le;
    std::string formatText;  // as written, for --show
    std::string counterPath; // absolute or relative to the working folder; empty for counterDb
    // Counter=db:NAME: the counter NAME in the line database, not a file.
    std::string counterDb;
    // Where --db-init starts a database counter it creates ([Serial] First).
    std::uint64_t first = 1;
    std::uint64_t step = 1;
    std::optional<std::uint64_t> last;
    std::vector<std::uint8_t> placeholder; // empty: the image holds nothing there
};

constexpr int kMaxSerialBytes = 16;

// What the settings file says of stamping: off (no [Serial] key at all), on
// with its settings, or refused with a message that names the key, the value
// and the file.
struct SerialSection {
    std::optional<SerialSettings> settings;
    std::string problem;
    bool On() const { return settings.has_value() || !problem.empty(); }
};

// Reads [Serial] from the settings file. A relative Counter is taken from
// the settings file's folder.
SerialSection ReadSerialSection(const std::string& settingsPath);

const char* SerialFormatName(SerialFormat format);

// The counter as the settings file names it: the file, or "db:NAME".
std::string CounterName(const SerialSettings& serial);

// A database counter's name: letters, digits, '_', '-' and '.', 1 to 63.
bool ValidDatabaseCounterName(const std::string& name);

// "0x%X"-style text of the settings for --show and messages.
std::string FormatHexBytes(const std::vector<std::uint8_t>& bytes);

} // namespace talvex
