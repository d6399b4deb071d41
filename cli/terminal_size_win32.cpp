#include <cstdint>
#include <io.h>

#include <windows.h>

#include "in_place_line.h"

namespace talvex {

int TerminalColumns(std::FILE* stream) {
    const intptr_t osHandle = _get_osfhandle(_fileno(stream));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (osHandle == -1 || !GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(osHandle), &info)) {
        return 80;
    }
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

} // namespace talvex
