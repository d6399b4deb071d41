#pragma once
// One line on a terminal that is redrawn where it stands: the console's
// progress line, and the gang run's combined one.

#include <cstddef>
#include <cstdio>
#include <string>

namespace talvex {

// Not thread-safe: the owner draws under its own lock.
class InPlaceLine {
public:
    // escapes: the terminal takes the erase-to-end-of-line escape; without
    // it (a Windows console) blanks cover what a longer line left.
    InPlaceLine(std::FILE* stream, bool escapes) : stream_(stream), escapes_(escapes) {}

    void Draw(const std::string& text);
    // Takes the line away, so that ordinary output can follow on a clean
    // line; nothing happens when none is shown.
    void Clear();
    bool Shown() const { return shown_; }

private:
    std::FILE* stream_;
    bool escapes_;
    bool shown_ = false;
    std::size_t width_ = 0; // characters of the line on screen now
};

// Columns of the terminal behind stream; 80 when it is no terminal or does
// not say.
int TerminalColumns(std::FILE* stream);

} // namespace talvex
