#include <filesystem>
#include <string>

#include <windows.h>

#include "settings_location.h"

namespace talvex {

std::string UserSettingsFolder(const EnvLookup& env) {
    const auto appData = env("APPDATA");
    if (!appData || appData->empty()) return {};
    std::string folder = *appData;
    if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
    return folder + "talvex\\";
}

bool FolderWritable(const std::string& folder) {
    // Access rights on Windows are lists, not modes: the one sure test is
    // to create a file, which goes away again with its handle.
    const std::string probe =
        folder + "talvex-write-test-" + std::to_string(GetCurrentProcessId()) + ".tmp";
    HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

bool MakeUserFolder(const std::string& folder) {
    if (folder.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return std::filesystem::is_directory(folder, error);
}

} // namespace talvex
