#include "unique_handle.h"

#include <windows.h>

namespace talvex {

bool UniqueHandle::Close() {
    void* handle = std::exchange(handle_, Invalid());
    if (handle == nullptr || handle == Invalid()) return true;
    return CloseHandle(handle) != 0;
}

bool WriteAll(void* handle, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t left = bytes.size() - done;
        // WriteFile takes a DWORD; a gigabyte at a time stays well inside.
        const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr)) return false;
        if (written == 0) return false;
        done += written;
    }
    return true;
}

} // namespace talvex
