#pragma once
// The platform half of the settings-file writer. Internal to talvex_app.

#include <cstdio>
#include <string>
#include <utility>

namespace talvex::detail {

// Puts content in place of the file at path so that a crash leaves either the
// old or the new file: a temporary file in the same folder, flushed to disk,
// given the old file's permissions and renamed over it. A read-only file or
// a missing folder gives false, and the old file stays as it was.
bool ReplaceFileDurably(const std::string& path, const std::string& content);

// The line end a newly created file gets: "\n" on POSIX, "\r\n" on Windows.
const char* NativeLineEnd();

// Removes the temporary file unless it has been renamed into place.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    ~TempFileGuard()
    {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    void Release() { path_.clear(); }

private:
    std::string path_;
};

} // namespace talvex::detail
