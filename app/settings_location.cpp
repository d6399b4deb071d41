#include "settings_location.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace talvex {
namespace {

namespace fs = std::filesystem;

// A seed larger than this is no settings file; start-up refuses such files
// anyway, and copying one would only fill the user's folder.
constexpr std::uintmax_t kLargestSeed = 1024 * 1024;

std::string TemporaryName(const std::string& to) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return to + ".seed-" + std::to_string(random()) + "-" + std::to_string(counter++);
}

} // namespace

EnvLookup ProcessEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
}

SettingsLocationServices SystemSettingsLocation() {
    SettingsLocationServices services;
    services.userFolder = UserSettingsFolder(ProcessEnvironment());
    return services;
}

std::string DefaultSettingsStem(const std::string& programDir) {
    // The folder is looked at before the environment is: a writable program
    // folder, the usual case, needs nothing else.
    if (programDir.empty() || FolderWritable(programDir)) return programDir + "talvex";
    return DefaultSettingsStem(programDir, SystemSettingsLocation());
}

std::string DefaultSettingsStem(const std::string& programDir,
                                const SettingsLocationServices& services) {
    const std::string besideProgram = programDir + "talvex";
    // Without a program folder there is nothing to test; the name stays as
    // it always was.
    if (programDir.empty() || services.writable(programDir)) return besideProgram;
    if (services.userFolder.empty() || !services.makeFolder(services.userFolder)) {
        return besideProgram;
    }
    SeedSettingsFile(programDir + "talvex.ini", services.userFolder + "talvex.ini");
    return services.userFolder + "talvex";
}

bool SeedSettingsFile(const std::string& from, const std::string& to) {
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
    const std::string temporary = TemporaryName(to);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, error);
            return false;
        }
    }
    // The shipped file may be read-only; the user's copy must take options.
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::add, error);

    // A link never replaces a file: a copy that another start made in the
    // meantime wins, and neither start sees half a file.
    fs::create_hard_link(temporary, to, error);
    if (error && !fs::exists(to)) {
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
