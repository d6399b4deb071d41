// The trace file on Windows. Opening a pipe whose server is missing fails
// at once already; a server that stops reading would hold a plain WriteFile
// for ever, so the file is opened for overlapped writes, each waited for no
// longer than asked and cancelled after it.

#include "trace_file.h"

#include <algorithm>
#include <windows.h>

#include "system_error_text.h"
#include "unique_handle.h"

namespace talvex {

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

} // namespace

struct TraceFile::Impl {
    UniqueHandle file;
    UniqueHandle event;
};

TraceFile::TraceFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TraceFile::~TraceFile() = default;

std::unique_ptr<TraceFile> TraceFile::Open(const std::string& path, std::string& whyNot) {
    if (path.empty()) {
        whyNot = "no file name";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->file = UniqueHandle(CreateFileA(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (!impl->file.Valid()) {
        const DWORD error = GetLastError();
        if (IsPipeName(path) && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PIPE_BUSY)) {
            whyNot = error == ERROR_FILE_NOT_FOUND ? "no process serves this pipe"
                                                   : "every instance of this pipe is in use";
        } else {
            whyNot = SystemErrorText(error);
        }
        return nullptr;
    }
    impl->event = UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!impl->event.Valid()) {
        whyNot = SystemErrorText(GetLastError());
        return nullptr;
    }
    return std::unique_ptr<TraceFile>(new TraceFile(std::move(impl)));
}

bool TraceFile::Write(const char* data, std::size_t size, std::chrono::milliseconds wait,
                      std::size_t& written, std::string& whyNot) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait.count());
    written = 0;
    while (written < size) {
        OVERLAPPED ov{};
        // All ones: at the end of the file, as an append; a pipe ignores it.
        ov.Offset = 0xFFFFFFFF;
        ov.OffsetHigh = 0xFFFFFFFF;
        ov.hEvent = impl_->event.Get();
        ResetEvent(ov.hEvent);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - written, 1u << 20));
        DWORD done = 0;
        if (!WriteFile(impl_->file.Get(), data + written, chunk, nullptr, &ov)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                whyNot = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE
                             ? "its reader closed it"
                             : SystemErrorText(error);
                return false;
            }
            const ULONGLONG now = GetTickCount64();
            const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            if (WaitForSingleObject(ov.hEvent, left) != WAIT_OBJECT_0) {
                CancelIoEx(impl_->file.Get(), &ov);
                // The cancelled write must be over before ov goes; what it
                // moved until then counts.
                GetOverlappedResult(impl_->file.Get(), &ov, &done, TRUE);
                written += done;
                return true;
            }
        }
        if (!GetOverlappedResult(impl_->file.Get(), &ov, &done, FALSE)) {
            const DWORD error = GetLastError();
            whyNot = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? "its reader closed it"
                                                                          : SystemErrorText(error);
            return false;
        }
        if (done == 0) {
            whyNot = "the system took none of the bytes";
            return false;
        }
        written += done;
    }
    return true;
}

} // namespace talvex
