#pragma once
// The current settings of one run of the program and the rules for reading
// and writing them in the settings file.

#include <cstdint>
#include <string>

#include "serial_settings.h"

namespace talvex {

// Members in the order the settings file documents them; exitCode follows.
struct Settings {
    std::string imageFile;
    std::string programDir;   // with its trailing separator
    std::string settingsStem; // settingsPath without the final ".ini"
    std::string settingsPath;
    std::string partDbPath; // programDir + "zelchip.ini"
    std::string port;
    std::string baud;
    std::string massErase;
    std::string program;
    std::string verify;
    std::string autorun;
    std::string protect;
    std::string part;
    std::string key0;
    std::uint64_t mask = 0;
    int frameBytes = 0; // data bytes per packed frame; 0 one frame per record
    std::int32_t propertyPage = 0;
    std::int32_t runMode = 0;
    // [Serial]: off unless the file has the section.
    SerialSection serial;
    int exitCode = 0;
};

// The most data bytes a frame carries.
constexpr int kMaxFrameBytes = 250;

// [Flash] FrameBytes: a decimal number; above kMaxFrameBytes it is
// kMaxFrameBytes, and anything else (empty, a sign, a unit, hex) is 0, off.
int ParseFrameBytes(const std::string& text);

// The engine's reading of a switch: on only when exactly "Yes".
bool IsOn(const std::string& value);
// The configuration sheet's reading: "Yes" in any letter case.
bool IsOnAnyCase(const std::string& value);

// "0x" and exactly 16 hexadecimal digits, else 0.
std::uint64_t ParseMask(const std::string& text);
// "0x" and 16 lower-case hexadecimal digits with leading zeros.
std::string FormatMask(std::uint64_t mask);

// Fills every member that the main window reads when it opens, from
// settings.settingsPath, in the documented order and with the defaults.
void ReadSettingsAtOpening(Settings& settings);

// Puts a value meant for a settings key into the member that the key fills
// when the window opens, read as the file would give it back ("Mask" through
// ParseMask, "Address" as an integer). For a value the file could not take.
// False for a key the window does not read at opening.
bool SetOpeningValue(Settings& settings, const std::string& key, const std::string& value);

// What Configure reads again each time it is pressed: runMode from "Address"
// and propertyPage from "PropertyPage".
void ReadSettingsAtConfigure(Settings& settings);

// The Help page's browser and help folder, read anew for every use with a
// 1000-character buffer; the folder defaults to programDir.
std::string ReadHelpBrowser(const Settings& settings);
std::string ReadHelpFolder(const Settings& settings);

// What the configuration sheet's OK writes, in its order.
void WriteSettingsAfterConfigure(const Settings& settings, const std::string& browser,
                                 const std::string& helpFolder);

} // namespace talvex
