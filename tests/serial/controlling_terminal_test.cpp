// /dev/tty opened by a process without a controlling terminal, as a
// service, a cron job or a script started with setsid runs.

#include "port_diagnosis.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace talvex {
namespace {

TEST(ControllingTerminal, DevTtyWithoutOneSaysSoInsteadOfMissingHardware) {
    // setsid() leaves the child in a session of its own, with no
    // controlling terminal.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setsid() < 0) ::_exit(3);
        const PortDiagnosis d = DiagnosePort("/dev/tty", "9600", false);
        const std::string text = std::to_string(static_cast<int>(d.problem)) + "|" + d.text;
        (void)!::write(pipeFds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, std::to_string(static_cast<int>(PortProblem::Missing)) +
                        "|/dev/tty stands for the controlling terminal of the process that "
                        "opens it, and this process has no controlling terminal (it was started "
                        "without one, as by a service, cron or setsid).");
}

} // namespace
} // namespace talvex
