#include "child_run.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "system_error_text.h"

extern char** environ;

namespace talvex::bench {

namespace {

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Owns the file actions of one spawn.
class Actions {
public:
    Actions() { posix_spawn_file_actions_init(&actions_); }
    ~Actions() { posix_spawn_file_actions_destroy(&actions_); }
    Actions(const Actions&) = delete;
    Actions& operator=(const Actions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

} // namespace

bool RunMeasured(const std::string& launcher, const std::vector<std::string>& args, ChildRun& run,
                 std::string& error) {
    static std::atomic<unsigned> serial{0};
    const std::filesystem::path result =
        std::filesystem::temp_directory_path() /
        ("talvex-peak-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::vector<std::string> all = {launcher, result.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv = Argv(all);
    pid_t pid = 0;
    if (const int failed =
            posix_spawn(&pid, launcher.c_str(), nullptr, nullptr, argv.data(), environ)) {
        error = "cannot start " + launcher + ": " + ErrnoText(failed);
        return false;
    }
    const int code = WaitFor(pid);
    std::ifstream in(result);
    run = ChildRun{};
    const bool read = static_cast<bool>(in >> run.exitCode >> run.elapsed >> run.cpu);
    double system = 0;
    const bool complete = read && static_cast<bool>(in >> system >> run.peakKiB);
    in.close();
    std::error_code ignored;
    std::filesystem::remove(result, ignored);
    if (code != 0 || !complete) {
        error = launcher + " could not run " + args.front() + " (exit code " +
                std::to_string(code) + ")";
        return false;
    }
    run.cpu += system;
    return true;
}

int RunWithErrorsTo(const std::vector<std::string>& args, const std::string& errorFile) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv = Argv(copy);
    Actions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, copy.front().c_str(), actions.get(), nullptr, argv.data(), environ)) {
        return -1;
    }
    return WaitFor(pid);
}

BackgroundProgram::~BackgroundProgram() { Stop(); }

bool BackgroundProgram::Start(const std::vector<std::string>& args, const std::string& errorFile,
                              std::string& error) {
    Stop();
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + ErrnoText(errno);
        return false;
    }
    std::vector<std::string> copy = args;
    std::vector<char*> argv = Argv(copy);
    Actions actions;
    posix_spawn_file_actions_adddup2(actions.get(), pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int failed =
        posix_spawn(&pid, copy.front().c_str(), actions.get(), nullptr, argv.data(), environ);
    ::close(pipeEnds[1]);
    if (failed) {
        ::close(pipeEnds[0]);
        error = "cannot start " + args.front() + ": " + ErrnoText(failed);
        return false;
    }
    pid_ = pid;
    output_ = pipeEnds[0];
    return true;
}

bool BackgroundProgram::FirstLine(std::string& line, int timeoutMs) {
    line.clear();
    if (output_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        pollfd p{output_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char c = 0;
        const ssize_t n = ::read(output_, &c, 1);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (c == '\n') return true;
        line.push_back(c);
    }
}

int BackgroundProgram::Stop() {
    int code = -1;
    if (pid_ >= 0) {
        ::kill(pid_, SIGTERM);
        code = WaitFor(pid_);
        pid_ = -1;
    }
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
    return code;
}

} // namespace talvex::bench
