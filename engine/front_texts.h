#pragma once
// Texts that more than one front end shows, kept here so that the console,
// the window and the ones to come say the same thing the same way.

#include <string>

namespace talvex {

// A text as one line of output: carriage return and line feed written as
// \r and \n, the other control characters (and DEL) as \xNN in lowercase
// hex. Bytes from 0x80 up stay as they are, so UTF-8 passes unchanged and
// stays valid exactly when it was.
std::string Printable(const std::string& text);

// One status line as one row of a window's list, in UTF-8: Printable, and
// bytes that are not valid UTF-8 (an identification from a noisy line is
// raw bytes) taken as Latin-1, so that every toolkit can show the row.
std::string StatusRowUtf8(const std::string& line);

// What the Parts and the Protection page say when the part database cannot
// be opened as they first show. It says "cannot" where the start-up message
// (MissingPartDbMessage) says "can not": users and their scripts know both
// texts as they are.
std::string PartDbMissingOnPageText(const std::string& partDbPath);

} // namespace talvex
