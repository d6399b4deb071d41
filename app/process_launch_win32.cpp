#include <string>

#include <windows.h>
#include <shellapi.h>

#include "process_launch.h"
#include "utf16_win32.h"

namespace talvex {
namespace {

// The shell's "open", without any dialog of its own: help never reports.
// No process handle is asked for, so there is nothing to reap. Wide, so
// that a help folder or browser with any name in it is found.
bool ShellOpen(const std::string& file, const std::string& parameters) {
    if (file.empty()) return false;
    const auto wideFile = WideName(file);
    const auto wideParameters = WideName(parameters);
    if (!wideFile || !wideParameters) return false;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = wideFile->c_str();
    info.lpParameters = parameters.empty() ? nullptr : wideParameters->c_str();
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info) != FALSE;
}

class Win32Launcher final : public IProcessLauncher {
public:
    bool Start(const std::string& program, const std::string& argument) override {
        return ShellOpen(program, QuoteCommandLineArgument(argument));
    }
    bool OpenWithDesktop(const std::string& document) override { return ShellOpen(document, {}); }
};

} // namespace

IProcessLauncher& SystemLauncher() {
    static Win32Launcher launcher;
    return launcher;
}

std::string DefaultHelpBrowser() { return "c:\\Program Files\\Internet Explorer\\iexplore.exe"; }

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

} // namespace talvex
