// The system launcher on POSIX: one argument arrives as one, a program that
// cannot run is told apart, nothing waits for the program, and no child is
// left unreaped.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process_launch.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::string Script(const TempDir& dir, const std::string& name, const std::string& body) {
    const std::string path = dir.File(name);
    WriteBytes(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

// Waits until the file holds a complete last line.
std::string AwaitFile(const std::string& path, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const std::string text = ReadBytes(path);
        if (!text.empty() && text.back() == '\n') return text;
        std::this_thread::sleep_for(10ms);
    }
    return ReadBytes(path);
}

bool NoChildLeft() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

TEST(SystemLauncher, ArgumentWithBlanksArrivesAsOneAndStdinIsNotInherited) {
    TempDir dir;
    const std::string out = dir.File("args.txt");
    const std::string program = Script(
        dir, "show args",
        "{ echo \"$#\"; echo \"$1\"; if read -r line; then echo tty; else echo eof; fi; } > '" +
            out + ".part'; mv '" + out + ".part' '" + out + "'\n");
    const std::string page = dir.Dir() + "my help pages/QV_P.html";
    ASSERT_TRUE(SystemLauncher().Start(program, page));
    EXPECT_EQ(AwaitFile(out), "1\n" + page + "\neof\n");
    EXPECT_TRUE(NoChildLeft());
}

TEST(SystemLauncher, ProgramsThatCannotRunAreToldApart) {
    TempDir dir;
    const std::string plain = dir.File("not-executable");
    WriteBytes(plain, "#!/bin/sh\nexit 0\n");
    ::chmod(plain.c_str(), 0644);
    const std::string broken = Script(dir, "bad-interpreter", "");
    WriteBytes(broken, "#!/nonexistent/interpreter\n");
    for (const std::string& program : {dir.File("missing"), plain, broken, std::string(),
                                       std::string("no-such-program-here"), dir.Dir()}) {
        SCOPED_TRACE(program);
        EXPECT_FALSE(SystemLauncher().Start(program, "x"));
    }
    EXPECT_TRUE(NoChildLeft());
}

TEST(SystemLauncher, ReturnsWhileTheProgramRunsAndLeavesNoChildBehind) {
    TempDir dir;
    const std::string pidFile = dir.File("pid");
    const std::string program = Script(dir, "slow", "echo $$ > '" + pidFile + "'\nexec sleep 30\n");
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(SystemLauncher().Start(program, "page.html"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    // The program is no child of ours: nothing of it needs reaping here.
    EXPECT_TRUE(NoChildLeft());
    const std::string pid = AwaitFile(pidFile);
    ASSERT_FALSE(pid.empty());
    const pid_t slow = static_cast<pid_t>(std::stol(pid));
    EXPECT_EQ(::kill(slow, 0), 0) << "still running after Start returned";
    // Its own session: a Ctrl-C in our terminal does not reach it.
    EXPECT_EQ(::getsid(slow), slow);
    ::kill(slow, SIGTERM);
}

TEST(SystemLauncher, LooksAProgramWithoutFolderUpInPath) {
    TempDir dir;
    const std::string out = dir.File("found.txt");
    Script(dir, "talvex-test-browser", "echo \"$1\" > '" + out + "'\n");
    const char* old = std::getenv("PATH");
    const std::string saved = old ? old : "";
    ::setenv("PATH", ("/nonexistent:" + dir.Dir() + ":/usr/bin:/bin").c_str(), 1);
    const bool started = SystemLauncher().Start("talvex-test-browser", "QVC_B.html");
    ::setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(started);
    EXPECT_EQ(AwaitFile(out), "QVC_B.html\n");
}

} // namespace
} // namespace talvex
