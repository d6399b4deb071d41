#include "regular_file.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "system_error_text.h"
#include "unique_handle.h"
#include "utf16_win32.h"

namespace talvex {
RegularFile OpenRegularFileForReading(const std::string& path, std::uint64_t maxBytes,
                                      bool textMode) {
    std::string notConverted;
    const auto wide = WideName(path, &notConverted);
    if (!wide) return RegularFile::Failed(RegularFileStatus::CannotOpen, notConverted);
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return RegularFile::Failed(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                                       ? RegularFileStatus::Missing
                                       : RegularFileStatus::CannotOpen,
                                   SystemErrorText(error));
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return RegularFile::Failed(RegularFileStatus::NotRegular,
                                   "not a regular file but a folder");
    }
    UniqueHandle handle(CreateFileW(wide->c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.Valid()) {
        const DWORD error = GetLastError();
        return RegularFile::Failed(error == ERROR_FILE_NOT_FOUND ? RegularFileStatus::Missing
                                                                 : RegularFileStatus::CannotOpen,
                                   SystemErrorText(error));
    }
    // Device names (CON, NUL, COM1) and pipes open too, but are no files.
    if (GetFileType(handle.Get()) != FILE_TYPE_DISK) {
        return RegularFile::Failed(RegularFileStatus::NotRegular,
                                   "not a regular file but a device");
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle.Get(), &size)) {
        return RegularFile::Failed(RegularFileStatus::CannotOpen, SystemErrorText(GetLastError()));
    }
    RegularFile result;
    result.size = static_cast<std::uint64_t>(size.QuadPart);
    if (result.size > maxBytes) {
        result.status = RegularFileStatus::TooLarge;
        return result;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.Get()),
                                   _O_RDONLY | (textMode ? _O_TEXT : _O_BINARY));
    if (fd < 0) return RegularFile::Failed(RegularFileStatus::CannotOpen, {});
    handle.Release(); // the descriptor owns it now
    std::FILE* file = _fdopen(fd, textMode ? "r" : "rb");
    if (file == nullptr) {
        _close(fd);
        return RegularFile::Failed(RegularFileStatus::CannotOpen, {});
    }
    result.file.reset(file);
    result.status = RegularFileStatus::Opened;
    return result;
}

} // namespace talvex
