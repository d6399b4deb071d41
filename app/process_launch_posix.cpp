#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process_launch.h"
#include "unique_fd.h"

extern char** environ;

namespace talvex {
namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// The PATH search is made here, before the fork: the child of a process
// with other threads may call nothing but async-signal-safe functions.
std::string ResolveProgram(const std::string& program) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return program;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the program changes its environment
    const char* env = std::getenv("PATH");
    const std::string path = (env && *env) ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = path.find(':', begin);
        const std::size_t length = (end == std::string::npos ? path.size() : end) - begin;
        // An empty entry of PATH is the current folder.
        std::string candidate = length == 0 ? std::string(1, '.') : path.substr(begin, length);
        candidate.push_back('/');
        candidate.append(program);
        if (IsExecutableFile(candidate)) return candidate;
        if (end == std::string::npos) return {};
        begin = end + 1;
    }
}

void ReportAndExit(int fd, int error) {
    ssize_t ignored = ::write(fd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

// Forks twice: the middle process ends at once and is reaped here, so the
// program itself belongs to init (or the session's subreaper), which reaps
// it whenever it ends. A close-on-exec pipe tells whether the exec worked.
bool StartDetached(const std::string& program, const std::string& argument) {
    const std::string path = ResolveProgram(program);
    if (path.empty()) return false;
    std::vector<char*> argv = {const_cast<char*>(program.c_str()),
                               const_cast<char*>(argument.c_str()), nullptr};

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    // A browser must not read the terminal a console program runs in.
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));

    // No signal handler of ours may run in the children.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t middle = ::fork();
    if (middle == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::setsid();
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            sigemptyset(&dfl.sa_mask);
            for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) {
                ::sigaction(sig, &dfl, nullptr);
            }
            sigset_t none;
            sigemptyset(&none);
            // NOLINTNEXTLINE(concurrency-mt-unsafe): the child of fork has one thread
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (devNull.Get() >= 0) ::dup2(devNull.Get(), 0);
            ::execve(path.c_str(), argv.data(), environ);
            ReportAndExit(writeEnd.Get(), errno);
        }
        if (child < 0) ReportAndExit(writeEnd.Get(), errno);
        ::_exit(0);
    }
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    (void)writeEnd.Close();
    if (middle < 0) {
        errno = forkError;
        return false;
    }
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    do {
        n = ::read(readEnd.Get(), &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    // Nothing to read: the pipe closed with the exec.
    return n == 0;
}

class PosixLauncher final : public IProcessLauncher {
public:
    bool Start(const std::string& program, const std::string& argument) override {
        return StartDetached(program, argument);
    }
    bool OpenWithDesktop(const std::string& document) override {
        return StartDetached("xdg-open", document);
    }
};

} // namespace

IProcessLauncher& SystemLauncher() {
    static PosixLauncher launcher;
    return launcher;
}

std::string DefaultHelpBrowser() { return "xdg-open"; }

bool IsPathSeparator(char c) { return c == '/'; }

} // namespace talvex
