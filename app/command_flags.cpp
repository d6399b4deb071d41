#include "command_flags.h"

#include <algorithm>

namespace talvex {
namespace {

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::string NearestFlag(const std::string& word, const std::vector<std::string>& known) {
    std::string nearest;
    std::size_t best = 3;
    for (const std::string& name : known) {
        if (name.size() < 4) continue;
        const std::size_t distance = EditDistance(word, name);
        if (distance < best) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}

std::string UnknownFlagText(const std::string& word, const std::vector<std::string>& known) {
    // The word is the user's own: a control character in it must not reach
    // the terminal as one.
    std::string printable;
    for (unsigned char c : word) {
        if (c < 0x20 || c == 0x7F) {
            printable += '?';
        } else {
            printable += static_cast<char>(c);
        }
    }
    std::string text = "unknown flag " + printable;
    const std::string nearest = NearestFlag(word, known);
    if (!nearest.empty()) text += "; did you mean " + nearest + "?";
    return text;
}

} // namespace talvex
