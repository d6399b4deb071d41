#include <sys/ioctl.h>
#include <unistd.h>

#include "in_place_line.h"

namespace talvex {

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

} // namespace talvex
