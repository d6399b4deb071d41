#pragma once
// Where the default settings file lies. Beside the program, as always, when
// the program runs from a folder of its own (a build, a copied folder). An
// installed program folder is shared program data: no run writes into it,
// root's included, since a file there would hold one user's options and
// protection key for everyone. Then the default is talvex.ini in the user's
// configuration folder, seeded on first use with the site defaults, the way
// a protected program folder behaves on Windows. A settings file named on
// the command line is never moved.

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

// True when the program folder lies where programs are installed rather
// than kept by one user: on Linux, under /usr/ (which takes in /usr/local),
// or an installed layout (see InstalledSiteFolder). What this process may
// do there does not matter; the folder is compared by its real path.
// Always false on Windows, where only writability counts.
bool SystemPath(const std::string& programDir);

// True when no run may write into the program folder: it is a system path,
// or this process cannot create files there.
bool SystemProgramFolder(const std::string& programDir);

// The site defaults a new user's settings file starts from: on Linux the
// installed layout's site file (PREFIX/etc/talvex/talvex.ini, and
// /etc/talvex/talvex.ini for PREFIX /usr); for a folder that is not an
// installed layout, and on Windows, the program folder's own talvex.ini.
std::string SiteSettingsFile(const std::string& programDir);

// The folder in which an install from configured program folder
// `installedFolder` ("lib/talvex" relative to the prefix, or an absolute
// folder) puts its site defaults, with its trailing '/', when `realDir` is
// such an installed program folder: PREFIX/lib/talvex/ gives
// PREFIX/etc/talvex/, /usr/lib/talvex/ gives /etc/talvex/, and an absolute
// program folder gives /etc/talvex/. Empty for any other folder.
std::string InstalledSiteFolder(const std::string& realDir, const std::string& installedFolder);

// The program folder this build installs to ("lib/talvex", or an absolute
// folder); empty on Windows, which has no installed layout of its own.
std::string ConfiguredProgramFolder();

// The rule behind SystemPath, on a folder's real path with its trailing '/'.
bool IsSystemPath(const std::string& realDir, const std::string& installedFolder);

struct SettingsLocationServices {
    std::function<bool(const std::string&)> writable = FolderWritable;
    std::function<bool(const std::string&)> systemPath = SystemPath;
    std::function<std::string(const std::string&)> siteFile = SiteSettingsFile;
    std::function<bool(const std::string&)> makeFolder = MakeUserFolder;
    std::string userFolder; // UserSettingsFolder of the process by default
};

// The services of this process.
SettingsLocationServices SystemSettingsLocation();

// The settings stem (path without ".ini") when the command line names no
// settings file. programDir + "talvex" while the program folder is writable
// and no system path. Otherwise the user folder's "talvex", the folder
// created as needed and, when it holds no talvex.ini yet, seeded with a
// copy of the site defaults if there are any. When the user folder cannot
// be made, a program folder this process cannot write stays in use after
// all (its values are still read, nothing can be stored), while one it
// could write is still not used: the user folder's file is named anyway, so
// options are not stored and say why. Only a process without any home
// (no XDG_CONFIG_HOME, no HOME, no account entry) keeps the program folder.
std::string DefaultSettingsStem(const std::string& programDir);
std::string DefaultSettingsStem(const std::string& programDir,
                                const SettingsLocationServices& services);

// Copies `from` to `to` unless `to` exists; a copy that another process
// makes at the same time is never overwritten nor seen half-written. The
// copy is readable and writable by its owner alone, since the user's file
// will take the protection key. False when `to` is not there afterwards.
bool SeedSettingsFile(const std::string& from, const std::string& to);

// Creates `path`, which must not exist yet, with the bytes, for its owner
// alone from the start: no other user can open it, not even while it is
// still empty. False when it could not be made whole; nothing is left then.
bool WritePrivateFile(const std::string& path, const std::string& bytes);

// Which rule chose the settings file in use, for --show: "programDir",
// "userFolder" or "commandLine".
std::string SettingsOrigin(const std::string& programDir, const std::string& settingsStem,
                           const std::string& userFolder);

} // namespace talvex
