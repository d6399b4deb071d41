#include "front_texts.h"

#include <cstdio>

namespace talvex {

std::string Printable(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            line += escape;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

std::string PartDbMissingOnPageText(const std::string& partDbPath) {
    return "Configuration file \"" + partDbPath +
           "\" cannot be located.\n\nPlease re-install TALVEX to fix this problem.";
}

} // namespace talvex
