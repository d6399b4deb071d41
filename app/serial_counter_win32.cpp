#include <windows.h>

#include "serial_counter.h"
#include "system_error_text.h"
#include "unique_handle.h"
#include "utf16_win32.h"

namespace talvex {

struct FileLock::State {
    UniqueHandle handle;
};

void FileLock::StateDeleter::operator()(State* state) const { delete state; }

FileLock::StatePtr FileLock::Open(const std::string& path, std::string& whyNot) {
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
    StatePtr state(new State);
    state->handle = std::move(handle);
    return state;
}

FileLock::Try FileLock::TryLock(State& state, const std::string& path, std::string& whyNot) {
    // Closing the handle releases the lock, as does the end of the process.
    OVERLAPPED at{};
    if (::LockFileEx(state.handle.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                     0, &at)) {
        return Try::Locked;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return Try::Busy;
    whyNot = path + ": " + SystemErrorText(error);
    return Try::Failed;
}

} // namespace talvex
