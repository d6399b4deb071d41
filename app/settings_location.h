#pragma once
// Where the default settings file lies. Beside the program, as always; but
// an installed program folder is not writable by an ordinary user, and
// options that cannot be stored would not last. Then the default is
// talvex.ini in the user's configuration folder, the way a protected
// program folder behaves on Windows. A settings file named on the command
// line is never moved.

#include <functional>
#include <optional>
#include <string>

namespace talvex {

// Reads an environment variable; nullopt when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment.
EnvLookup ProcessEnvironment();

// The user's configuration folder for TALVEX, with its trailing separator:
// $XDG_CONFIG_HOME/talvex/ (an absolute value only), else
// $HOME/.config/talvex/ (the account's home folder when HOME is unset); on
// Windows %APPDATA%\talvex\. Empty when no folder can be named.
std::string UserSettingsFolder(const EnvLookup& env);

// True when this process may create files in the folder.
bool FolderWritable(const std::string& folder);

// Creates the folder and any missing parents, private to the user where the
// system has such a notion. True when it exists as a folder afterwards.
bool MakeUserFolder(const std::string& folder);

struct SettingsLocationServices {
    std::function<bool(const std::string&)> writable = FolderWritable;
    std::function<bool(const std::string&)> makeFolder = MakeUserFolder;
    std::string userFolder; // UserSettingsFolder of the process by default
};

// The services of this process.
SettingsLocationServices SystemSettingsLocation();

// The settings stem (path without ".ini") when the command line names no
// settings file. programDir + "talvex" while the program folder is
// writable. Otherwise the user folder's "talvex", the folder created as
// needed and, when it holds no talvex.ini yet, seeded with a copy of the
// program folder's talvex.ini if there is one. When the user folder cannot
// be made either, programDir + "talvex" after all: its values are still read.
std::string DefaultSettingsStem(const std::string& programDir);
std::string DefaultSettingsStem(const std::string& programDir,
                                const SettingsLocationServices& services);

// Copies `from` to `to` unless `to` exists; a copy that another process
// makes at the same time is never overwritten nor seen half-written. The
// copy is writable by its owner. False when `to` is not there afterwards.
bool SeedSettingsFile(const std::string& from, const std::string& to);

// Which rule chose the settings file in use, for --show: "programDir",
// "userFolder" or "commandLine".
std::string SettingsOrigin(const std::string& programDir, const std::string& settingsStem,
                           const std::string& userFolder);

} // namespace talvex
