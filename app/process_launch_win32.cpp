#include <string>

#include <windows.h>
#include <shellapi.h>

#include "process_launch.h"

namespace talvex {
namespace {

// The shell's "open", without any dialog of its own: help never reports.
// No process handle is asked for, so there is nothing to reap.
bool ShellOpen(const std::string& file, const std::string& parameters) {
    if (file.empty()) return false;
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = "open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExA(&info) != FALSE;
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
