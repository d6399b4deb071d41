#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings_location.h"
#include "unique_fd.h"

// The program folder that an install makes, relative to its prefix or
// absolute; the build passes what it was configured with.
#ifndef TALVEX_INSTALLED_PROGRAM_FOLDER
#define TALVEX_INSTALLED_PROGRAM_FOLDER "lib/talvex"
#endif

namespace talvex {
namespace {

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

std::string AccountHome() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir) {
        return {};
    }
    return found->pw_dir;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The folder as the file system knows it, so that a link into /usr or into
// an installed layout cannot make it look like a folder of one's own. The
// name as given when it cannot be resolved.
std::string RealFolder(const std::string& folder) {
    char resolved[PATH_MAX];
    if (::realpath(folder.c_str(), resolved) == nullptr) return WithSlash(folder);
    return WithSlash(resolved);
}

} // namespace

EnvLookup ProcessEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the program changes its environment
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
}

std::string UserSettingsFolder(const EnvLookup& env) {
    // Only an absolute XDG_CONFIG_HOME counts; a relative one would put the
    // settings wherever the program happens to be started.
    if (const auto config = env("XDG_CONFIG_HOME"); config && config->starts_with('/')) {
        return WithSlash(*config) + "talvex/";
    }
    std::string home;
    if (const auto value = env("HOME"); value && value->starts_with('/')) {
        home = *value;
    } else {
        home = AccountHome();
    }
    if (home.empty() || home.front() != '/') return {};
    return WithSlash(home) + ".config/talvex/";
}

bool FolderWritable(const std::string& folder) {
    // The effective identity decides, as it does for the write itself; a
    // folder on a read-only mount is not writable even for root.
    return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string ConfiguredProgramFolder() { return TALVEX_INSTALLED_PROGRAM_FOLDER; }

bool SystemPath(const std::string& programDir) {
    return IsSystemPath(RealFolder(programDir), ConfiguredProgramFolder());
}

std::string SiteSettingsFile(const std::string& programDir) {
    const std::string site = InstalledSiteFolder(RealFolder(programDir), ConfiguredProgramFolder());
    // A folder copied somewhere read-only carries its site defaults itself;
    // an installed one never does, so a file that an older version wrote
    // there (with root's key in it) is never handed on.
    return site.empty() ? programDir + "talvex.ini" : site + "talvex.ini";
}

bool WritePrivateFile(const std::string& path, const std::string& bytes) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       S_IRUSR | S_IWUSR));
    if (fd.Get() < 0) return false;
    // The umask may have taken the owner's write bit, and the user's file
    // must take options.
    bool whole = ::fchmod(fd.Get(), S_IRUSR | S_IWUSR) == 0 && WriteAll(fd.Get(), bytes) &&
                 ::fsync(fd.Get()) == 0;
    whole = fd.Close() && whole;
    if (!whole) ::unlink(path.c_str());
    return whole;
}

bool MakeUserFolder(const std::string& folder) {
    if (folder.empty()) return false;
    // Each missing level in turn, private to the user as configuration
    // folders are meant to be.
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string level = folder.substr(0, slash);
        if (!level.empty() && ::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos || slash + 1 >= folder.size()) break;
    }
    return IsFolder(folder);
}

} // namespace talvex
