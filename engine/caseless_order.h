#pragma once
// Text compared without regard to letter case, ordered as the Qt window's
// lists order it, so that every front end lists and finds names alike.
//
// Both texts are read as UTF-8 (a byte that starts no valid sequence counts
// as U+FFFD), each character is case-folded, and the folded texts compare
// by UTF-16 code unit, as QString does. The folding covers ASCII, Latin-1,
// Latin Extended-A, Greek (U+0370..U+03FF), Cyrillic (U+0400..U+04FF) and
// Latin Extended Additional (U+1E00..U+1EFF); other characters, Latin
// Extended-B among them, compare as they are.

#include <string>

namespace talvex {

// The simple case folding of one character within the blocks above.
char32_t FoldCase(char32_t c);

// Negative, zero or positive as a sorts before, with or after b.
int CompareIgnoringCase(const std::string& a, const std::string& b);

inline bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    return CompareIgnoringCase(a, b) == 0;
}

// Alphabetical as a sorted list orders: letter case decides, by the bytes,
// only between names that are otherwise equal.
bool AlphabeticallyBefore(const std::string& a, const std::string& b);

} // namespace talvex
