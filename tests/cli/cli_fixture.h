#pragma once
// talvex-cli as a batch file runs it: a program directory of its own, and
// the program started as a child process whose exit status and output are
// kept.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine_fixture.h"

namespace talvex::testing {

struct Child {
    int status = -1;
    std::string out;
    std::string err;
};

struct RunOptions {
    // SIGINT this long after the start (0: never).
    std::chrono::milliseconds interruptAfter{0};
    // SIGKILL when the program still runs this long after the start, so that
    // a program that hangs fails the test instead of stalling it.
    std::chrono::milliseconds killAfter{std::chrono::seconds(60)};
    // Run as this user and group (-1: as the test). Needs root.
    int uid = -1;
    // Environment variables set in the child; an empty value unsets one.
    std::vector<std::pair<std::string, std::string>> env;
    // Runs in the child just before the exec, after stdout and stderr go to
    // the capture files and stdin to /dev/null: to close or redirect them.
    std::function<void()> inChild;
    // Runs in the parent once the child has started, before the wait.
    std::function<void(pid_t)> whileRunning;
};

// Runs a program with arguments, stdin closed, and collects its output.
inline Child RunProgram(const std::vector<std::string>& args, const std::string& cwd,
                        const RunOptions& options) {
    char outName[] = "/tmp/talvex-out-XXXXXX";
    char errName[] = "/tmp/talvex-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, 1);
        dup2(errFd, 2);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (chdir(cwd.c_str()) != 0) _exit(120);
        if (options.uid >= 0 && (setgid(options.uid) != 0 || setuid(options.uid) != 0)) _exit(122);
        for (const auto& [name, value] : options.env) {
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
        }
        if (options.inChild) options.inChild();
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(121);
    }
    if (options.whileRunning) options.whileRunning(pid);
    Child child;
    const auto started = std::chrono::steady_clock::now();
    bool interrupted = false;
    for (;;) {
        const pid_t done = waitpid(pid, &child.status, WNOHANG);
        if (done == pid) break;
        const auto elapsed = std::chrono::steady_clock::now() - started;
        if (!interrupted && options.interruptAfter.count() > 0 &&
            elapsed >= options.interruptAfter) {
            kill(pid, SIGINT);
            interrupted = true;
        }
        if (elapsed >= options.killAfter) {
            kill(pid, SIGKILL);
            waitpid(pid, &child.status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    auto slurp = [](const char* name) {
        std::ifstream in(name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    child.out = slurp(outName);
    child.err = slurp(errName);
    close(outFd);
    close(errFd);
    unlink(outName);
    unlink(errName);
    return child;
}

inline Child RunProgram(const std::vector<std::string>& args, const std::string& cwd,
                        std::chrono::milliseconds interruptAfter = std::chrono::milliseconds(0)) {
    RunOptions options;
    options.interruptAfter = interruptAfter;
    return RunProgram(args, cwd, options);
}

inline std::vector<std::string> FileLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int ExitCodeOf(const Child& child) {
    return WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1;
}

class CliTest : public EngineTest {
protected:
    void TearDown() override {
        for (auto& sim : extraSims_) sim->Stop();
        extraSims_.clear();
        EngineTest::TearDown();
    }

    // A further emulated board beside the one StartSim runs, as a gang or a
    // line needs; each is stopped when the test ends.
    zarq::Simulator& StartExtraSim(std::vector<std::string> args) {
        args.push_back("--partdb");
        args.push_back(partDb_);
        zarq::SimOptions parsed;
        std::string error;
        EXPECT_TRUE(zarq::ParseSimArgs(args, parsed, error)) << error;
        extraSims_.push_back(std::make_unique<zarq::Simulator>(parsed));
        EXPECT_TRUE(extraSims_.back()->Start(error)) << error;
        return *extraSims_.back();
    }

    // A program directory of its own: talvex-cli beside a zelchip.ini.
    std::string Install() {
        const auto bin = dir_ / "bin";
        std::filesystem::create_directories(bin);
        std::filesystem::copy_file(TALVEX_BIN_DIR "/talvex-cli", bin / "talvex-cli");
        std::filesystem::copy_file(partDb_, bin / "zelchip.ini");
        return (bin / "talvex-cli").string();
    }

    std::vector<std::unique_ptr<zarq::Simulator>> extraSims_;
};

} // namespace talvex::testing
