#pragma once
// The platform half of reading and writing the settings file and the part
// database. Internal to talvex_app.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <string>
#include <string_view>
#include <utility>

#include "ini_file.h"
#include "unique_file.h"
#include "utf16.h"

namespace talvex::detail {

using talvex::UniqueFile;

struct OpenedFile {
    ini::FileCheck check;
    UniqueFile file; // set only when check.status is Readable
};

// Opens the file for reading if it is a regular file of at most maxBytes, in
// the terms of the settings file (see OpenRegularFileForReading). Never
// blocks on a FIFO or a device, and never opens a device at all (a serial
// port behind a link would raise DTR). Text mode translates line ends the way
// the platform's "r" does.
OpenedFile OpenForReading(const std::string& path, std::uint64_t maxBytes, bool textMode);

// "larger than 1 MB: 2097152 bytes"
std::string TooLargeReason(std::uint64_t size);

// Puts content in place of the file at path so that a crash leaves either the
// old or the new file: a temporary file in the same folder, given the old
// file's permissions before the first byte goes in, flushed to disk and
// renamed over it. Leftovers of writers that were killed are removed first.
// A read-only file or a missing folder gives false with the reason in
// whyNot, and the old file stays as it was.
bool ReplaceFileDurably(const std::string& path, const std::string& content, std::string* whyNot);

// The line end a newly created file gets: "\n" on POSIX, "\r\n" on Windows.
const char* NativeLineEnd();

// The temporary file of a write: target + ".tmp" + process id + "_" + try.
inline std::string TempFileName(const std::string& target, unsigned long pid, int attempt) {
    return target + ".tmp" + std::to_string(pid) + "_" + std::to_string(attempt);
}

// The process id in the name of a temporary file that a write of the file
// named base left behind, or 0 when the name is not exactly of that form.
inline unsigned long LeftoverPid(std::string_view name, std::string_view base) {
    const std::string_view mark = ".tmp";
    if (name.size() <= base.size() + mark.size() || name.substr(0, base.size()) != base ||
        name.substr(base.size(), mark.size()) != mark) {
        return 0;
    }
    std::string_view rest = name.substr(base.size() + mark.size());
    auto digits = [](std::string_view text, std::size_t maxDigits) {
        if (text.empty() || text.size() > maxDigits || (text.size() > 1 && text[0] == '0')) {
            return false;
        }
        for (char c : text) {
            if (c < '0' || c > '9') return false;
        }
        return true;
    };
    const std::size_t underscore = rest.find('_');
    if (underscore == std::string_view::npos) return 0;
    const std::string_view pid = rest.substr(0, underscore);
    if (!digits(pid, 10) || !digits(rest.substr(underscore + 1), 9)) return 0;
    std::uint64_t value = 0;
    for (char c : pid) value = value * 10 + static_cast<std::uint64_t>(c - '0');
    return value <= 0xFFFFFFFFu ? static_cast<unsigned long>(value) : 0;
}

// Removes what earlier writes of target left behind when they were killed:
// temporary files whose process no longer runs. Files of running processes,
// of this process, and every other name are left alone.
void RemoveDeadLeftovers(const std::string& target);

// Removes the temporary file unless it has been renamed into place.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    ~TempFileGuard() {
        // By its UTF-8 name: the C library's remove() takes the ANSI code
        // page on Windows and would leave a non-ASCII temporary behind.
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove(PathFromUtf8(path_), ignored);
    }
    void Release() { path_.clear(); }

private:
    std::string path_;
};

// Lets a test look at the temporary file as other users could see it: once
// it exists and is still empty, and once the content is in, before the
// rename. Not for production use; null turns it off.
enum class TempStage { Created, Written };
using TempFileObserver = void (*)(TempStage stage, const std::string& tempPath);
void SetTempFileObserver(TempFileObserver observer);
void NotifyTempFile(TempStage stage, const std::string& tempPath);

} // namespace talvex::detail
