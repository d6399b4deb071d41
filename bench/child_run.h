#pragma once
// Programs the bench starts: talvex-cli and the reference host through the
// launcher that measures them, and zarq-sim in the background.

#include <string>
#include <vector>

namespace talvex::bench {

// What one run of a program cost.
struct ChildRun {
    int exitCode = -1;  // minus the signal that ended it
    double elapsed = 0; // wall time, s
    double cpu = 0;     // user and system time of all its threads, s
    long peakKiB = 0;   // its own peak resident memory
};

// Runs args (args[0] the program's path, its standard output to /dev/null)
// through the launcher talvex-peak, so that the peak memory is the
// program's own and not a copy of the caller's. False with a message when
// the launcher could not run it.
bool RunMeasured(const std::string& launcher, const std::vector<std::string>& args, ChildRun& run,
                 std::string& error);

// Runs args with standard output to /dev/null and standard error to
// errorFile, and waits: its exit code, minus the signal, or -1 when it
// could not be started.
int RunWithErrorsTo(const std::vector<std::string>& args, const std::string& errorFile);

// A program in the background, as a user runs zarq-sim: its first line of
// output is read, its standard error goes to a file, and it is ended with
// SIGTERM.
class BackgroundProgram {
public:
    BackgroundProgram() = default;
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    bool Start(const std::vector<std::string>& args, const std::string& errorFile,
               std::string& error);
    // The first line it wrote, waiting up to timeoutMs for it.
    bool FirstLine(std::string& line, int timeoutMs);
    // Ends it and waits: its exit code, or minus the signal.
    int Stop();

private:
    int pid_ = -1;
    int output_ = -1;
};

} // namespace talvex::bench
