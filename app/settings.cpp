#include "settings.h"

#include "hex_digits.h"

#include <algorithm>
#include <cstdio>

#include "ini_file.h"
#include "process_launch.h"

namespace talvex {
namespace {

// A value cut short would name another file or port than the one stored,
// and a file that happens to lie at the shorter path would be flashed.
constexpr std::size_t kOpeningBuffer = ini::kWholeValue;
constexpr std::size_t kHelpBuffer = 1000;

} // namespace

bool IsOn(const std::string& value) { return value == "Yes"; }

bool IsOnAnyCase(const std::string& value) {
    if (value.size() != 3) return false;
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return lower(value[0]) == 'y' && lower(value[1]) == 'e' && lower(value[2]) == 's';
}

std::uint64_t ParseMask(const std::string& text) {
    if (text.size() != 18 || text[0] != '0' || text[1] != 'x') return 0;
    std::uint64_t mask = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        int digit = HexDigitOrNone(text[i]);
        // A stray character would leave the protected units to chance; no
        // unit is safer than a guessed one.
        if (digit < 0) return 0;
        mask = (mask << 4) | static_cast<std::uint64_t>(digit);
    }
    return mask;
}

std::string FormatMask(std::uint64_t mask) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(mask));
    return text;
}

int ParseFrameBytes(const std::string& text) {
    // Off is the way every record has always gone out, so a value that is
    // not plainly a size leaves the line as it was rather than guess.
    if (text.empty()) return 0;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = std::min(value * 10 + (c - '0'), kMaxFrameBytes + 1);
    }
    return std::min(value, kMaxFrameBytes);
}

void ReadSettingsAtOpening(Settings& s) {
    const std::string& path = s.settingsPath;
    auto text = [&](const char* section, const char* key, const std::string& def) {
        return ini::ReadText(path, section, key, def, kOpeningBuffer);
    };
    s.imageFile = text("TalVex", "File", s.programDir + "sample.hex");
    s.port = text("Coms", "Port", "COM1");
    s.baud = text("Coms", "Baud", "9600");
    s.massErase = text("Flash", "MassErase", "No");
    s.program = text("Flash", "Program", "Yes");
    s.verify = text("Flash", "Verify", "No");
    s.protect = text("Flash", "Protect", "No");
    s.autorun = text("Run", "Autorun", "No");
    s.key0 = text("Flash", "Key0", "739");
    s.mask = ParseMask(text("Flash", "Mask", "0"));
    s.frameBytes = ParseFrameBytes(text("Flash", "FrameBytes", "0"));
    s.part = text("TalVex", "Part", "ZaRQ4126");
    s.runMode = static_cast<std::int32_t>(ini::ReadInt(path, "Run", "Address", 0));
    s.serial = ReadSerialSection(path);
}

bool SetOpeningValue(Settings& s, const std::string& key, const std::string& value) {
    std::string text = ini::ValueAsRead(value);
    if (text.size() > kOpeningBuffer - 1) text.resize(kOpeningBuffer - 1);
    struct Member {
        const char* key;
        std::string Settings::*text;
    };
    static const Member kTextMembers[] = {
        {"File", &Settings::imageFile},  {"Port", &Settings::port},
        {"Baud", &Settings::baud},       {"MassErase", &Settings::massErase},
        {"Program", &Settings::program}, {"Verify", &Settings::verify},
        {"Protect", &Settings::protect}, {"Autorun", &Settings::autorun},
        {"Key0", &Settings::key0},       {"Part", &Settings::part},
    };
    for (const Member& member : kTextMembers) {
        if (key == member.key) {
            s.*member.text = std::move(text);
            return true;
        }
    }
    if (key == "Mask") {
        s.mask = ParseMask(text);
        return true;
    }
    if (key == "FrameBytes") {
        s.frameBytes = ParseFrameBytes(text);
        return true;
    }
    if (key == "Address") {
        s.runMode = static_cast<std::int32_t>(ini::ParseInt(text, 0));
        return true;
    }
    return false;
}

void ReadSettingsAtConfigure(Settings& s) {
    s.runMode = static_cast<std::int32_t>(ini::ReadInt(s.settingsPath, "Run", "Address", 0));
    s.propertyPage =
        static_cast<std::int32_t>(ini::ReadInt(s.settingsPath, "TalVex", "PropertyPage", 0));
}

std::string ReadHelpBrowser(const Settings& s) {
    return ini::ReadText(s.settingsPath, "Help", "Browser", DefaultHelpBrowser(), kHelpBuffer);
}

std::string ReadHelpFolder(const Settings& s) {
    return ini::ReadText(s.settingsPath, "Help", "Url", s.programDir, kHelpBuffer);
}

void WriteSettingsAfterConfigure(const Settings& s, const std::string& browser,
                                 const std::string& helpFolder) {
    // Failed writes are not reported: the values stay in force in memory for
    // the rest of the run.
    const std::string& path = s.settingsPath;
    ini::WriteText(path, "TalVex", "PropertyPage", std::to_string(s.propertyPage));
    ini::WriteText(path, "Coms", "Port", s.port);
    ini::WriteText(path, "Coms", "Baud", s.baud);
    ini::WriteText(path, "Flash", "MassErase", s.massErase);
    ini::WriteText(path, "Flash", "Program", s.program);
    ini::WriteText(path, "Flash", "Verify", s.verify);
    ini::WriteText(path, "Flash", "Protect", s.protect);
    ini::WriteText(path, "Run", "Autorun", s.autorun);
    ini::WriteText(path, "Run", "Address", std::to_string(s.runMode));
    ini::WriteText(path, "Flash", "Key0", s.key0);
    ini::WriteText(path, "Flash", "Mask", FormatMask(s.mask));
    ini::WriteText(path, "TalVex", "Part", s.part);
    ini::WriteText(path, "Help", "Browser", browser);
    ini::WriteText(path, "Help", "Url", helpFolder);
}

} // namespace talvex
