// The progress line is redrawn in place: with the erase-to-end-of-line
// escape where the terminal takes it, and with blanks where it does not (an
// old Windows console, which would show the escape as "[K").

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console_window.h"

namespace talvex {
namespace {

std::string ReadAll(std::FILE* f) {
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

std::vector<std::string> SplitAtCarriageReturns(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == '\r')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// Draws a long line (with time left), then a shorter one (finished, so no
// time left), then a status line clears the progress line. Returns stderr.
std::string DrawLongThenShortThenClear(bool escapes) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        ConsoleWindow window(out, err, true, escapes);
        window.AddStatusLine("Downloading ... 100000 bytes");
        window.SetProgressPhase(ProgressPhase::Write);
        window.SetProgressRange(100000);
        // Past the first 0.2 s the line carries a rate and the time left.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        window.SetProgressPos(99999);
        // Past the redraw interval, so that the next position is drawn.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        window.SetProgressPos(100000);
        window.AddStatusLine("Verifying ... 100000 bytes");
    }
    const std::string text = ReadAll(err);
    EXPECT_EQ(ReadAll(out), "Downloading ... 100000 bytes\nVerifying ... 100000 bytes\n")
        << "the progress line never reaches stdout";
    std::fclose(out);
    std::fclose(err);
    return text;
}

TEST(ConsoleProgressLine, EscapesEraseTheRestOfTheLineAfterEachDraw) {
    const std::vector<std::string> parts = SplitAtCarriageReturns(DrawLongThenShortThenClear(true));
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0], "");
    EXPECT_NE(parts[1].find("left\033[K"), std::string::npos) << parts[1];
    EXPECT_EQ(parts[2].rfind("Writing   100%  100000/100000 bytes", 0), 0u) << parts[2];
    EXPECT_EQ(parts[2].substr(parts[2].size() - 3), "\033[K");
    EXPECT_EQ(parts[3], "\033[K");
}

TEST(ConsoleProgressLine, WithoutEscapesBlanksCoverWhatALongerLineLeft) {
    const std::string err = DrawLongThenShortThenClear(false);
    EXPECT_EQ(err.find('\033'), std::string::npos) << "no escape may reach such a console";
    const std::vector<std::string> parts = SplitAtCarriageReturns(err);
    ASSERT_EQ(parts.size(), 5u) << err;
    EXPECT_EQ(parts[0], "");
    const std::string& longLine = parts[1];
    EXPECT_NE(longLine.find("left"), std::string::npos) << longLine;
    EXPECT_EQ(TrimRight(longLine), longLine) << "the first line needs no padding";
    const std::string shortLine = TrimRight(parts[2]);
    EXPECT_EQ(shortLine.rfind("Writing   100%  100000/100000 bytes", 0), 0u) << shortLine;
    ASSERT_LT(shortLine.size(), longLine.size());
    EXPECT_EQ(parts[2].size(), longLine.size()) << "padded to the width of the line before";
    // Clearing blanks what is on screen and leaves the cursor at the margin
    // for the status line.
    EXPECT_EQ(parts[3], std::string(shortLine.size(), ' '));
    EXPECT_EQ(parts[4], "");
}

} // namespace
} // namespace talvex
