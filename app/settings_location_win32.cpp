#include <algorithm>
#include <filesystem>
#include <string>

#include <windows.h>

#include "settings_location.h"
#include "unique_handle.h"

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
    const UniqueHandle file(CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                        nullptr));
    return file.Valid();
}

std::string ConfiguredProgramFolder() { return {}; }

bool SystemPath(const std::string&) {
    // Program Files is protected by its access lists, which FolderWritable
    // already sees; a folder that an administrator opened for writing is
    // meant to be written.
    return false;
}

std::string SiteSettingsFile(const std::string& programDir) { return programDir + "talvex.ini"; }

bool WritePrivateFile(const std::string& path, const std::string& bytes) {
    // The user's profile folder is the user's alone; a file made in it
    // inherits that.
    bool whole = true;
    {
        const UniqueHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) return false;
        whole = WriteAll(file.Get(), bytes);
        whole = FlushFileBuffers(file.Get()) && whole;
    }
    if (!whole) DeleteFileA(path.c_str());
    return whole;
}

bool MakeUserFolder(const std::string& folder) {
    if (folder.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return std::filesystem::is_directory(folder, error);
}

} // namespace talvex
