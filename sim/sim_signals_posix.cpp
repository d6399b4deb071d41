#include "sim_signals.h"

#include <csignal>

namespace zarq {

namespace {
volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) { g_stop = 1; }
} // namespace

void InstallStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A host that goes away must not kill the simulator through a write.
    signal(SIGPIPE, SIG_IGN);
}

bool StopSignalReceived() { return g_stop != 0; }

} // namespace zarq
