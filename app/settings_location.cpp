#include "settings_location.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "utf16.h"

namespace talvex {
namespace {

namespace fs = std::filesystem;

// A seed larger than this is no settings file; start-up refuses such files
// anyway, and copying one would only fill the user's folder.
constexpr std::uintmax_t kLargestSeed = std::uintmax_t{1024} * 1024;

std::string TemporaryName(const std::string& to) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return to + ".seed-" + std::to_string(random()) + "-" + std::to_string(counter++);
}

} // namespace

SettingsLocationServices SystemSettingsLocation() {
    SettingsLocationServices services;
    services.userFolder = UserSettingsFolder(ProcessEnvironment());
    return services;
}

bool SystemProgramFolder(const std::string& programDir) {
    return !FolderWritable(programDir) || SystemPath(programDir);
}

std::string InstalledSiteFolder(const std::string& realDir, const std::string& installedFolder) {
    std::string folder = installedFolder;
    while (folder.starts_with("./")) folder.erase(0, 2);
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    if (folder.empty() || realDir.empty()) return {};
    const std::string dir = realDir.back() == '/' ? realDir : realDir + '/';

    // An absolute program folder lies outside any prefix, so its site
    // defaults go where an administrator looks first.
    if (folder.front() == '/') return dir == folder + '/' ? "/etc/talvex/" : std::string();

    const std::string tail = '/' + folder + '/';
    if (!dir.ends_with(tail)) return {};
    const std::string prefix = dir.substr(0, dir.size() - tail.size() + 1);
    // /usr/etc does not exist: a package's configuration is in /etc.
    if (prefix == "/usr/") return "/etc/talvex/";
    return prefix + "etc/talvex/";
}

bool IsSystemPath(const std::string& realDir, const std::string& installedFolder) {
    const std::string dir = realDir.empty() || realDir.back() == '/' ? realDir : realDir + '/';
    return dir.starts_with("/usr/") || !InstalledSiteFolder(dir, installedFolder).empty();
}

std::string DefaultSettingsStem(const std::string& programDir) {
    // Without a program folder there is nothing to test; the name stays as
    // it always was.
    if (programDir.empty()) return "talvex";
    return DefaultSettingsStem(programDir, SystemSettingsLocation());
}

std::string DefaultSettingsStem(const std::string& programDir,
                                const SettingsLocationServices& services) {
    std::string besideProgram = programDir + "talvex";
    if (programDir.empty()) return besideProgram;
    const bool writable = services.writable(programDir);
    if (writable && !services.systemPath(programDir)) return besideProgram;

    if (services.userFolder.empty()) return besideProgram;
    if (!services.makeFolder(services.userFolder)) {
        // Where this process cannot write, the program folder's values are
        // at least read. Where it can (root in /usr), a write there is what
        // must not happen: the options fail in the user folder instead, and
        // the run says so.
        return writable ? services.userFolder + "talvex" : besideProgram;
    }
    const std::string site = services.siteFile(programDir);
    if (!site.empty()) SeedSettingsFile(site, services.userFolder + "talvex.ini");
    return services.userFolder + "talvex";
}

bool SeedSettingsFile(const std::string& fromName, const std::string& toName) {
    const fs::path from = PathFromUtf8(fromName);
    const fs::path to = PathFromUtf8(toName);
    std::error_code error;
    if (fs::exists(to, error)) return true;
    if (!fs::is_regular_file(from, error)) return false;
    const std::uintmax_t size = fs::file_size(from, error);
    if (error || size > kLargestSeed) return false;

    std::string text;
    {
        std::ifstream in(from, std::ios::binary);
        if (!in) return false;
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) return false;
    }
    // Private from its first byte: the site file is readable by everyone,
    // but the copy is where this user's key will go.
    const std::string temporaryName = TemporaryName(toName);
    if (!WritePrivateFile(temporaryName, text)) return false;
    const fs::path temporary = PathFromUtf8(temporaryName);

    // A link never replaces a file: a copy that another start made in the
    // meantime wins, and neither start sees half a file.
    fs::create_hard_link(temporary, to, error);
    if (error && !fs::exists(to, error)) {
        std::error_code renameError;
        fs::rename(temporary, to, renameError);
    }
    fs::remove(temporary, error);
    return fs::exists(to, error);
}

std::string SettingsOrigin(const std::string& programDir, const std::string& settingsStem,
                           const std::string& userFolder) {
    if (settingsStem == programDir + "talvex") return "programDir";
    if (!userFolder.empty() && settingsStem == userFolder + "talvex") return "userFolder";
    return "commandLine";
}

} // namespace talvex
