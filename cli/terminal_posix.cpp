#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "console_window.h"

namespace talvex {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool TerminalTakesEscapes(std::FILE*) {
    // A terminal that does not say what it is may be a serial console or an
    // editor's output pane, which print the escape as text; NO_COLOR asks
    // for plain output whatever the terminal.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the program changes its environment
    const char* noColor = std::getenv("NO_COLOR");
    if (noColor != nullptr && noColor[0] != '\0') return false;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the program changes its environment
    const char* term = std::getenv("TERM");
    return term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

} // namespace talvex
