#include <unistd.h>

#include "console_window.h"

namespace talvex {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

// Every terminal this runs on takes the erase-to-end-of-line escape.
bool TerminalTakesEscapes(std::FILE*) { return true; }

} // namespace talvex
