#pragma once
// What both programs do with a word on their command line that begins with
// a dash: it is a flag, never a settings file, and a mistyped one is met
// with the nearest flag the program knows.

#include <string>
#include <vector>

namespace talvex {

// The known flag nearest to word, within two edits (insert, delete, change,
// swap of neighbours); empty when none is that close. One-letter flags are
// never suggested: they are that close to everything.
std::string NearestFlag(const std::string& word, const std::vector<std::string>& known);

// "unknown flag --prots; did you mean --ports?" or "unknown flag --xyz".
std::string UnknownFlagText(const std::string& word, const std::vector<std::string>& known);

} // namespace talvex
