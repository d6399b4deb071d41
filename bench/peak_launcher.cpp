// talvex-peak: runs one program and tells what it cost: its exit status,
// wall time, processor time and peak resident memory.
//
// The peak is the kernel's ru_maxrss of the child, which also holds the
// high-water mark of the memory the child had before it started the program:
// a copy of its parent's. Started from the bench, that was the bench's own
// size. This launcher is small, and starts the program with posix_spawn
// from itself, so that figure is the program's own wherever it is larger
// than this launcher (about 1 MB), as /usr/bin/time -v gives it.
//
// Usage: talvex-peak RESULT-FILE PROGRAM [ARGUMENT ...]
// The program's standard output goes to /dev/null; its standard error is
// this launcher's. RESULT-FILE gets one line:
//   STATUS ELAPSED-S USER-S SYSTEM-S PEAK-KIB
// STATUS is the exit code, or minus the signal that ended the program.
// Exit code 0 when the program ran, 127 when it could not be started, 1
// when the result could not be written or the call was wrong.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

double Now() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// strerror's one buffer is safe here: this program never starts a thread.
const char* Why(int error) { return std::strerror(error); } // NOLINT(concurrency-mt-unsafe)

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: talvex-peak RESULT-FILE PROGRAM [ARGUMENT ...]\n", stderr);
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const double start = Now();
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[2], &actions, nullptr, argv + 2, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        std::fprintf(stderr, "talvex-peak: cannot start %s: %s\n", argv[2], Why(failed));
        return 127;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "talvex-peak: cannot wait for %s: %s\n", argv[2], Why(errno));
            return 1;
        }
    }
    const double elapsed = Now() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::fprintf(stderr, "talvex-peak: cannot write %s: %s\n", argv[1], Why(errno));
        return 1;
    }
    std::fprintf(out, "%d %.6f %.6f %.6f %ld\n", code, elapsed, Seconds(usage.ru_utime),
                 Seconds(usage.ru_stime), usage.ru_maxrss);
    return std::fclose(out) == 0 ? 0 : 1;
}
