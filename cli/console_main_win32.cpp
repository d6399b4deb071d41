// The entry point on Windows. The C runtime splits the wide command line
// (GetCommandLineW) by the same rules as the narrow one, so the words are
// the ones the narrow entry point got, but with every letter: the narrow
// line has question marks where the ANSI code page lacks a letter, and a
// name such as 板.hex came in as ?.hex.

#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

#include "console_main.h"
#include "result_code.h"
#include "utf16_win32.h"

namespace {

// The console shows the UTF-8 status text as such while the program runs,
// and gets its own code page back afterwards for whatever runs next in it.
class Utf8Console {
public:
    Utf8Console() : previous_(GetConsoleOutputCP()) {
        if (previous_ != 0) SetConsoleOutputCP(CP_UTF8);
    }
    ~Utf8Console() {
        if (previous_ != 0) SetConsoleOutputCP(previous_);
    }
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    UINT previous_;
};

} // namespace

int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> words;
    words.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        std::string whyNot;
        auto word = talvex::Utf8Name(wargv[i], &whyNot);
        if (!word) {
            // Any stand-in would name another file, or write a wrong value
            // into the settings file.
            std::fprintf(stderr, "talvex-cli: word %d of the command line cannot be used: %s\n", i,
                         whyNot.c_str());
            return talvex::ToInt(talvex::ExitCode::Usage);
        }
        words.push_back(std::move(*word));
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const Utf8Console console;
    return talvex::RunConsole(argc, argv.data());
}
