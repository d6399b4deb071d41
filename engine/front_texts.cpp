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

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsValidUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t more = 0;
        unsigned long cp = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            cp = lead & 0x07;
        } else {
            return false;
        }
        if (i + more >= text.size()) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (more == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return false;
        }
        i += more + 1;
    }
    return true;
}

} // namespace

std::string StatusRowUtf8(const std::string& line) {
    // Escaping first changes nothing for the decision: the escapes are
    // ASCII, and UTF-8 stays valid, or invalid, as it was.
    std::string row = Printable(line);
    if (IsValidUtf8(row)) return row;
    std::string latin1;
    latin1.reserve(row.size() * 2);
    for (unsigned char c : row) {
        if (c < 0x80) {
            latin1 += static_cast<char>(c);
        } else {
            latin1 += static_cast<char>(0xC0 | (c >> 6));
            latin1 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return latin1;
}

std::string PartDbMissingOnPageText(const std::string& partDbPath) {
    return "Configuration file \"" + partDbPath +
           "\" cannot be located.\n\nPlease re-install TALVEX to fix this problem.";
}

} // namespace talvex
