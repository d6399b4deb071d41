#include "process_launch.h"

namespace talvex {

std::string QuoteCommandLineArgument(const std::string& argument) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    // The closing quote must not be escaped by a trailing backslash.
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

} // namespace talvex
