// The trace file's system calls on Windows. Opening a pipe whose server is
// missing fails at once already; a server that stops reading would hold a
// plain WriteFile for ever, so the file is opened for overlapped writes,
// each waited for no longer than asked and cancelled after it.

#include "trace_file_detail.h"

#include <algorithm>
#include <optional>
#include <windows.h>

#include "system_error_text.h"
#include "unique_handle.h"
#include "utf16_win32.h"

namespace talvex::detail {

namespace {

bool IsPipeName(const std::string& path) {
    if (path.size() < 9) return false;
    std::string head = path.substr(0, 9);
    for (char& c : head) {
        if (c == '/') c = '\\';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return head == "\\\\.\\pipe\\";
}

std::string WriteErrorText(DWORD error) {
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? "its reader closed it"
                                                                : SystemErrorText(error);
}

} // namespace

struct TraceHandle {
    UniqueHandle file;
    UniqueHandle event;
};

void TraceHandleClose::operator()(TraceHandle* handle) const { delete handle; }

TraceHandlePtr OpenTraceHandle(const std::string& path, std::string& whyNot) {
    const std::optional<std::wstring> wide = WideName(path, &whyNot);
    if (!wide) return nullptr;
    TraceHandlePtr handle(new TraceHandle);
    handle->file = UniqueHandle(CreateFileW(
        wide->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (!handle->file.Valid()) {
        const DWORD error = GetLastError();
        if (IsPipeName(path) && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PIPE_BUSY)) {
            whyNot = error == ERROR_FILE_NOT_FOUND ? "no process serves this pipe"
                                                   : "every instance of this pipe is in use";
        } else {
            whyNot = SystemErrorText(error);
        }
        return nullptr;
    }
    handle->event = UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!handle->event.Valid()) {
        whyNot = SystemErrorText(GetLastError());
        return nullptr;
    }
    return handle;
}

TraceWriteEnd WriteTraceOnce(TraceHandle& handle, const char* data, std::size_t size,
                             std::chrono::milliseconds wait, std::size_t& moved,
                             std::string& whyNot) {
    OVERLAPPED ov{};
    // All ones: at the end of the file, as an append; a pipe ignores it.
    ov.Offset = 0xFFFFFFFF;
    ov.OffsetHigh = 0xFFFFFFFF;
    ov.hEvent = handle.event.Get();
    ResetEvent(ov.hEvent);
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
    DWORD done = 0;
    if (!WriteFile(handle.file.Get(), data, chunk, nullptr, &ov)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            whyNot = WriteErrorText(error);
            return TraceWriteEnd::Failed;
        }
        if (WaitForSingleObject(ov.hEvent, static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0) {
            CancelIoEx(handle.file.Get(), &ov);
            // The cancelled write must be over before ov goes; what it
            // moved until then counts.
            GetOverlappedResult(handle.file.Get(), &ov, &done, TRUE);
            moved = done;
            return TraceWriteEnd::Full;
        }
    }
    if (!GetOverlappedResult(handle.file.Get(), &ov, &done, FALSE)) {
        whyNot = WriteErrorText(GetLastError());
        return TraceWriteEnd::Failed;
    }
    if (done == 0) {
        whyNot = "the system took none of the bytes";
        return TraceWriteEnd::Failed;
    }
    moved = done;
    return TraceWriteEnd::Took;
}

} // namespace talvex::detail
