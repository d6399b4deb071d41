#pragma once
// Waits with a deadline for tests: for a condition, or for a program the
// test started. A test that waits without one hangs the whole suite when the
// code under test hangs; with one it fails and says what it waited for.

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace talvex::testing {

using WaitClock = std::chrono::steady_clock;

// For the [   INFO   ] lines that show how long something took.
inline double Milliseconds(WaitClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Polls until done() holds or the limit has passed; true when it held.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                      std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
    const auto end = WaitClock::now() + limit;
    while (!done()) {
        if (WaitClock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// Starts args[0] with args, stdin from /dev/null and stdout and stderr into
// the files named (empty: /dev/null); the child's pid, or -1.
inline pid_t StartChild(const std::vector<std::string>& args, const std::string& outPath,
                        const std::string& errPath) {
    // Everything the child needs is made before the fork: a test program
    // has threads, and the child may only make async-signal-safe calls.
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const char* out = outPath.empty() ? "/dev/null" : outPath.c_str();
    const char* err = errPath.empty() ? "/dev/null" : errPath.c_str();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int none = ::open("/dev/null", O_RDONLY);
    const int o = ::open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (none < 0 || o < 0 || e < 0) ::_exit(120);
    ::dup2(none, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execv(argv[0], argv.data());
    ::_exit(121);
}

// Waits for the child to end and gives its wait status; nothing when it
// still ran at the limit, and then it has been killed and reaped, so that
// no test leaves a program behind.
inline std::optional<int> WaitForExit(
    pid_t pid, std::chrono::milliseconds limit,
    std::chrono::milliseconds step = std::chrono::milliseconds(2)) {
    int status = 0;
    const bool ended =
        WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit, step);
    if (ended) return status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return std::nullopt;
}

} // namespace talvex::testing
