#include "interrupt_watch.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace talvex::ui {

namespace {

// A handler may do next to nothing; it hands the signal to the event loop
// through a pipe.
int g_pipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}

} // namespace

void WatchInterrupts(std::function<void()> onInterrupt) {
    if (g_pipe[0] >= 0 || ::pipe(g_pipe) != 0) return;
    for (int fd : g_pipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    auto* notifier =
        new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [onInterrupt = std::move(onInterrupt)] {
                         char drain[16];
                         while (::read(g_pipe[0], drain, sizeof drain) > 0) {
                         }
                         onInterrupt();
                     });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace talvex::ui
