#pragma once
// Starting another program (a web browser, the desktop's opener) without
// waiting for it. Help goes through this interface so that tests can record
// what would have been started instead of starting it.

#include <string>

namespace talvex {

class IProcessLauncher {
public:
    virtual ~IProcessLauncher() = default;

    // Starts `program` with exactly one argument, detached: the call returns
    // as soon as the program runs (or could not be run) and never waits for
    // it to end. A program without a directory is looked up as the system's
    // shell would. False when it could not be started.
    virtual bool Start(const std::string& program, const std::string& argument) = 0;

    // Hands a document to the desktop's own opener (xdg-open on Linux, the
    // shell's "open" on Windows), detached as above. False when the opener
    // itself could not be started.
    virtual bool OpenWithDesktop(const std::string& document) = 0;
};

// The launcher of this system.
IProcessLauncher& SystemLauncher();

// What "Browser" in section "Help" means when the settings file does not
// say: the desktop's opener on Linux (the Windows browser path cannot
// exist there), the system's browser path on Windows.
std::string DefaultHelpBrowser();

// True for a character that separates folders in a path on this system
// ('/' on POSIX; '\\' and '/' on Windows).
bool IsPathSeparator(char c);

// One argument as a Windows program's start-up code splits its command line
// (CommandLineToArgvW): in double quotes, with backslashes doubled where
// they stand before a quote. "C:\My Help\QV_P.html" stays one argument.
std::string QuoteCommandLineArgument(const std::string& argument);

} // namespace talvex
