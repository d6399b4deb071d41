#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings_location.h"

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

} // namespace

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
