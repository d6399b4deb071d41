#include <cstdio>
#include <io.h>

#include <windows.h>

#include "console_window.h"

namespace talvex {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool TerminalTakesEscapes(std::FILE* stream) {
    const intptr_t osHandle = _get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    // A file or a pipe is no console: whoever reads it takes the text as is.
    if (osHandle == -1 || !GetConsoleMode(reinterpret_cast<HANDLE>(osHandle), &mode)) return true;
    // A console gets the line overwritten with blanks, never an escape. The
    // classic console before Windows 10 prints "\033[K" as "[K", and so does
    // Wine's console even after ENABLE_VIRTUAL_TERMINAL_PROCESSING was
    // accepted; switching that mode on would also outlive this program in
    // the console of the cmd window that started it. Blanks and "\r" work on
    // every console there is.
    return false;
}

} // namespace talvex
