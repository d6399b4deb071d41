#include <string>

#include <windows.h>

#include "file_replace.h"

namespace talvex::detail {
namespace {

class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = other.handle_;
            other.handle_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    ~UniqueHandle() { Close(); }
    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool Close()
    {
        if (!Valid()) return true;
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != 0;
    }

private:
    HANDLE handle_;
};

bool WriteAll(HANDLE handle, const std::string& content)
{
    std::size_t done = 0;
    while (done < content.size()) {
        std::size_t left = content.size() - done;
        DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(handle, content.data() + done, chunk, &written, nullptr)) return false;
        if (written == 0) return false;
        done += written;
    }
    return true;
}

} // namespace

const char* NativeLineEnd()
{
    return "\r\n";
}

bool ReplaceFileDurably(const std::string& path, const std::string& content)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists) {
        if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return false;
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return false;
    }

    std::string tempPath;
    UniqueHandle file;
    for (int attempt = 0; attempt < 100 && !file.Valid(); ++attempt) {
        tempPath = path + ".tmp" + std::to_string(GetCurrentProcessId()) + "_" +
                   std::to_string(attempt);
        file = UniqueHandle(CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid() && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (!file.Valid()) return false;
    TempFileGuard guard(tempPath);

    if (!WriteAll(file.Get(), content)) return false;
    if (!FlushFileBuffers(file.Get())) return false;
    if (!file.Close()) return false;
    // Hidden, system or archive marks of the old file carry over.
    if (exists && attributes != FILE_ATTRIBUTE_NORMAL) {
        SetFileAttributesA(tempPath.c_str(), attributes);
    }
    if (!MoveFileExA(tempPath.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return false;
    }
    guard.Release();
    return true;
}

} // namespace talvex::detail
