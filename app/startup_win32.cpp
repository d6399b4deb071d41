#include <string>
#include <vector>

#include <windows.h>

#include "startup.h"

namespace talvex {

std::string CurrentProgramDir() {
    // A truncated path would name the wrong folder, so grow until it fits.
    std::vector<char> buffer(1024);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            std::string path(buffer.data(), n);
            std::size_t slash = path.rfind('\\');
            return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

char PathSeparator() { return '\\'; }

} // namespace talvex
