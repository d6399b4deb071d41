// talvex.exe: the window program for Windows. Start-up as talvex-cli has
// it, from the wide command line, then the main window's modal run, whose
// result is the exit code.

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "command_flags.h"
#include "main_window.h"
#include "result_code.h"
#include "startup.h"
#include "utf16_win32.h"
#include "window_start.h"

using namespace talvex;

namespace {

// The words of the command line as UTF-8, the program's name first. The
// argument list freed by LocalFree, as the shell hands it out.
std::vector<std::string> CommandWords() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> words;
    if (argv == nullptr) return words;
    for (int i = 0; i < count; ++i) words.push_back(Utf8FromWide(argv[i]));
    LocalFree(argv);
    return words;
}

// A program of the window subsystem started from a desktop has no console
// to print to: then the text goes into a box.
int Tell(bool hadOutput, const std::string& text, int code) {
    if (hadOutput) {
        std::fputs(text.c_str(), code == 0 ? stdout : stderr);
        const bool ok = std::fflush(stdout) == 0 && !std::ferror(stdout);
        return ok || code != 0 ? code : ToInt(ExitCode::Output);
    }
    MessageBoxW(nullptr, WideFromUtf8(text).c_str(), L"TALVEX",
                MB_OK | (code == 0 ? MB_ICONINFORMATION : MB_ICONWARNING));
    return code;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const bool hadOutput = output != nullptr && output != INVALID_HANDLE_VALUE;
    PrepareStandardStreams();

    const std::vector<std::string> all = CommandWords();
    // Every word with a leading dash is a flag; none is ever a settings
    // file or ends the options before it.
    std::vector<const char*> words{all.empty() ? "talvex" : all[0].c_str()};
    for (std::size_t i = 1; i < all.size(); ++i) {
        const std::string& word = all[i];
        if (word.empty() || word[0] != '-') {
            words.push_back(word.c_str());
            continue;
        }
        if (word == "--help" || word == "-h") return Tell(hadOutput, kWindowUsage, 0);
        if (word == "--version" || word == "-V") {
            return Tell(hadOutput, std::string("talvex ") + TALVEX_VERSION + "\n", 0);
        }
        return Tell(
            hadOutput,
            "talvex: " + UnknownFlagText(word, {"--help", "--version"}) + " (talvex --help)\n",
            ToInt(ExitCode::Usage));
    }
    const std::string commandLine =
        JoinCommandLine(static_cast<int>(words.size()), words.data(), 1);
    const StartupResult startup = RunStartup(CurrentProgramDir(), commandLine);

    if (const auto code = TellUnattendedStart(startup)) return ToInt(*code);

    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);

    if (!startup.partDbPresent) {
        MessageBoxW(
            nullptr,
            WideFromUtf8(MissingPartDbMessage(startup.settings.partDbPath, startup.partDbProblem))
                .c_str(),
            L"TALVEX", MB_OK);
    }

    win32::MainWindow window(startup);
    // -1 after Exit, as the process's code 0xFFFFFFFF.
    return window.Run();
}
