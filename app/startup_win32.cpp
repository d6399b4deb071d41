#include <cstdio>
#include <string>
#include <vector>

#include <io.h>
#include <windows.h>

#include "startup.h"
#include "utf16_win32.h"

namespace talvex {

std::string CurrentProgramDir() {
    // A truncated path would name the wrong folder, so grow until it fits.
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            // A folder name without a UTF-8 form cannot be told to the core:
            // no folder, as when the platform cannot tell.
            const auto path = Utf8Name(std::wstring_view(buffer.data(), n));
            if (!path) return {};
            std::size_t slash = path->rfind('\\');
            return slash == std::string::npos ? std::string() : path->substr(0, slash + 1);
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

char PathSeparator() { return '\\'; }

void PrepareStandardStreams() {
    // A program started without a console or with a handle closed has no
    // standard handle; the C runtime's stream then writes nowhere, which is
    // what a lost stream must do, but it must not fail the run either.
    struct Stream {
        DWORD id;
        FILE* file;
        const char* mode;
    };
    const Stream streams[] = {
        {STD_INPUT_HANDLE, stdin, "r"},
        {STD_OUTPUT_HANDLE, stdout, "w"},
        {STD_ERROR_HANDLE, stderr, "w"},
    };
    for (const Stream& stream : streams) {
        const HANDLE handle = GetStdHandle(stream.id);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && _fileno(stream.file) >= 0) {
            continue;
        }
        FILE* reopened = nullptr;
        if (freopen_s(&reopened, "NUL", stream.mode, stream.file) == 0 && reopened != nullptr) {
            SetStdHandle(stream.id, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(reopened))));
        }
    }
}

} // namespace talvex
