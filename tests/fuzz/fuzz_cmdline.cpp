// Start-up on any command-line text, writing into a scratch settings file.
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_temp_dir.h"
#include "settings.h"
#include "startup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace talvex;
    static const bool entered = [] {
        std::filesystem::current_path(fuzz::ScratchDir());
        return true;
    }();
    (void)entered;

    // Without '/' every settings-file name the text can form stays inside the
    // scratch folder, which is the current folder.
    std::string line(reinterpret_cast<const char*>(data), size);
    for (char& c : line) {
        if (c == '/') c = '_';
    }
    const std::string programDir = fuzz::ScratchDir().string() + "/";

    StartupResult r = RunStartup(programDir, line);
    const Settings& s = r.settings;
    if (s.settingsPath.empty() || s.settingsPath != s.settingsStem + ".ini") __builtin_trap();
    if (s.partDbPath != programDir + "zelchip.ini") __builtin_trap();
    if (s.exitCode != ((r.unattended && !r.partDbPresent) ? 2 : 0)) __builtin_trap();

    Settings read = s;
    ReadSettingsAtOpening(read);
    ReadSettingsAtConfigure(read);
    // Every option the file did not take says why, and applies in memory.
    for (const UnstoredOption& u : r.unstored) {
        if (u.reason.empty() || u.option.size() < 3 || u.option[2] != '=') __builtin_trap();
    }
    ApplyUnstoredOptions(r, read);

    for (const auto& entry : std::filesystem::directory_iterator(fuzz::ScratchDir())) {
        std::error_code ignored;
        std::filesystem::remove_all(entry.path(), ignored);
    }
    return 0;
}
