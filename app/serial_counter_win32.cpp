#include <thread>

#include <windows.h>

#include "serial_counter.h"
#include "system_error_text.h"
#include "unique_handle.h"
#include "utf16_win32.h"

namespace talvex {

struct FileLock::State {
    UniqueHandle handle;
};

FileLock::FileLock(std::unique_ptr<State> state) : state_(std::move(state)) {}
FileLock::~FileLock() = default;

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait,
                                            std::string& whyNot) {
    std::string nameProblem;
    const std::optional<std::wstring> wide = WideName(path, &nameProblem);
    if (!wide) {
        whyNot = path + ": " + nameProblem;
        return nullptr;
    }
    // Shared for reading and writing: the lock, not the open, keeps other
    // stations out, and one that cannot open would not even wait.
    UniqueHandle handle(
        ::CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.Valid()) {
        whyNot = path + ": " + SystemErrorText(::GetLastError());
        return nullptr;
    }
    if (::GetFileType(handle.Get()) != FILE_TYPE_DISK) {
        whyNot = path + " is not a regular file";
        return nullptr;
    }
    const auto until = std::chrono::steady_clock::now() + wait;
    // Polled rather than blocking, so that a station stopped while holding
    // the lock makes the others give up instead of hanging.
    for (;;) {
        OVERLAPPED at{};
        if (::LockFileEx(handle.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                         &at)) {
            break;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
            whyNot = path + ": " + SystemErrorText(error);
            return nullptr;
        }
        if (std::chrono::steady_clock::now() >= until) {
            whyNot =
                path + " held by another station for " + std::to_string(wait.count() / 1000) + " s";
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Closing the handle releases the lock, as does the end of the process.
    auto state = std::make_unique<State>();
    state->handle = std::move(handle);
    return std::make_unique<FileLock>(std::move(state));
}

} // namespace talvex
