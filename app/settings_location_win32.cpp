#include <algorithm>
#include <filesystem>
#include <string>

#include <windows.h>

#include "settings_location.h"
#include "unique_handle.h"
#include "utf16.h"
#include "utf16_win32.h"

namespace talvex {

EnvLookup ProcessEnvironment() {
    // Wide: %APPDATA% holds the user's name, which the ANSI environment
    // gives with question marks when the code page lacks a letter of it.
    return [](const char* name) -> std::optional<std::string> {
        const auto wideName = WideName(name);
        if (!wideName) return std::nullopt;
        std::wstring value(256, L'\0');
        for (;;) {
            SetLastError(ERROR_SUCCESS);
            const DWORD n = GetEnvironmentVariableW(wideName->c_str(), value.data(),
                                                    static_cast<DWORD>(value.size()));
            if (n == 0) {
                if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
                return std::string();
            }
            if (n < value.size()) {
                value.resize(n);
                break;
            }
            value.resize(n);
        }
        // A value with no UTF-8 form names no folder this program can use.
        return Utf8Name(value);
    };
}

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
    const auto wide = WideName(probe);
    if (!wide) return false;
    const UniqueHandle file(CreateFileW(wide->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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
    const auto wide = WideName(path);
    if (!wide) return false;
    bool whole = true;
    {
        const UniqueHandle file(CreateFileW(wide->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) return false;
        whole = WriteAll(file.Get(), bytes);
        whole = FlushFileBuffers(file.Get()) && whole;
    }
    if (!whole) DeleteFileW(wide->c_str());
    return whole;
}

bool MakeUserFolder(const std::string& folder) {
    if (folder.empty()) return false;
    const std::filesystem::path path = PathFromUtf8(folder);
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return std::filesystem::is_directory(path, error);
}

} // namespace talvex
