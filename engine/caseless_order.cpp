#include "caseless_order.h"

#include <cstddef>
#include <cstdint>

namespace talvex {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The character that starts at text[at], and moves at past it. A sequence
// that is cut short, overlong, a surrogate or beyond U+10FFFF gives U+FFFD
// for its first byte only, so that the bytes after it are read afresh.
char32_t NextCharacter(const std::string& text, std::size_t& at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, least = 0x10000;
    }
    if (length == 0 || at + length > text.size()) {
        ++at;
        return kReplacement;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return kReplacement;
        }
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++at;
        return kReplacement;
    }
    at += length;
    return c;
}

// The folded text as UTF-16 code units: characters beyond the first plane
// become surrogate pairs and so sort before U+E000..U+FFFF, as in QString.
std::u16string Folded(const std::string& text) {
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const char32_t c = FoldCase(NextCharacter(text, at));
        if (c < 0x10000) {
            units.push_back(static_cast<char16_t>(c));
        } else {
            units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    return units;
}

// Capital and small letter side by side, the capital on the even (or, with
// oddCapital, the odd) code point.
char32_t FoldPair(char32_t c, bool oddCapital) { return ((c & 1u) != 0) == oddCapital ? c + 1 : c; }

char32_t FoldLatin(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c == 0xB5) return 0x3BC; // the micro sign folds to the Greek mu
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c >= 0x100 && c <= 0x12F) return FoldPair(c, false);
    // U+0130 and U+0131, the Turkish i's, have no simple folding.
    if (c >= 0x132 && c <= 0x137) return FoldPair(c, false);
    if (c >= 0x139 && c <= 0x148) return FoldPair(c, true);
    // U+0149 has only a full folding.
    if (c >= 0x14A && c <= 0x177) return FoldPair(c, false);
    if (c == 0x178) return 0xFF;
    if (c >= 0x179 && c <= 0x17E) return FoldPair(c, true);
    if (c == 0x17F) return 's';
    return c;
}

// The Greek letters whose folding follows no run.
struct Folding {
    char32_t from;
    char32_t to;
};
constexpr Folding kGreekSingles[] = {
    {0x37F, 0x3F3}, {0x386, 0x3AC}, {0x38C, 0x3CC}, {0x3C2, 0x3C3}, {0x3CF, 0x3D7},
    {0x3D0, 0x3B2}, {0x3D1, 0x3B8}, {0x3D5, 0x3C6}, {0x3D6, 0x3C0}, {0x3F0, 0x3BA},
    {0x3F1, 0x3C1}, {0x3F4, 0x3B8}, {0x3F5, 0x3B5}, {0x3F7, 0x3F8}, {0x3F9, 0x3F2},
    {0x3FA, 0x3FB}, {0x3FD, 0x37B}, {0x3FE, 0x37C}, {0x3FF, 0x37D},
};

char32_t FoldGreek(char32_t c) {
    for (const Folding& f : kGreekSingles)
        if (f.from == c) return f.to;
    if (c == 0x370 || c == 0x372 || c == 0x376) return c + 1;
    if (c >= 0x388 && c <= 0x38A) return c + 0x25;
    if (c == 0x38E || c == 0x38F) return c + 0x3F;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c >= 0x3D8 && c <= 0x3EF) return FoldPair(c, false);
    return c;
}

// Latin Extended Additional: Vietnamese and Welsh letters among others.
char32_t FoldLatinAdditional(char32_t c) {
    if (c == 0x1E9B) return 0x1E61; // long s with dot above
    if (c == 0x1E9E) return 0xDF;   // capital sharp s
    if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) return FoldPair(c, false);
    return c;
}

char32_t FoldCyrillic(char32_t c) {
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x460 && c <= 0x481) return FoldPair(c, false);
    if (c >= 0x48A && c <= 0x4BF) return FoldPair(c, false);
    if (c == 0x4C0) return 0x4CF;
    if (c >= 0x4C1 && c <= 0x4CE) return FoldPair(c, true);
    if (c >= 0x4D0 && c <= 0x4FF) return FoldPair(c, false);
    return c;
}

} // namespace

char32_t FoldCase(char32_t c) {
    if (c < 0x180) return FoldLatin(c);
    if (c >= 0x370 && c < 0x400) return FoldGreek(c);
    if (c >= 0x400 && c < 0x500) return FoldCyrillic(c);
    if (c >= 0x1E00 && c < 0x1F00) return FoldLatinAdditional(c);
    return c;
}

int CompareIgnoringCase(const std::string& a, const std::string& b) {
    return Folded(a).compare(Folded(b));
}

bool AlphabeticallyBefore(const std::string& a, const std::string& b) {
    const int folded = CompareIgnoringCase(a, b);
    return folded != 0 ? folded < 0 : a < b;
}

} // namespace talvex
