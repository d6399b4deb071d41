#include <unistd.h>

#include "console_window.h"

namespace talvex {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

} // namespace talvex
