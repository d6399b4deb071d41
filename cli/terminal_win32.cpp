#include <cstdio>
#include <io.h>

#include "console_window.h"

namespace talvex {

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

} // namespace talvex
