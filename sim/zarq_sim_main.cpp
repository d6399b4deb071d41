// zarq-sim: an emulated ZaRQ target for dry runs; see --help.

#include "sim_signals.h"
#include "zarq_sim.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    zarq::SimOptions options;
    std::string error;
    if (!zarq::ParseSimArgs(args, options, error)) {
        std::fprintf(stderr, "zarq-sim: %s (see zarq-sim --help)\n", error.c_str());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(zarq::SimHelpText(), stdout);
        return 0;
    }
    // The log goes to its file as it happens; a long session must not grow
    // in memory.
    options.keepLog = false;

    zarq::InstallStopSignals();
    zarq::Simulator sim(options);
    if (!sim.Start(error)) {
        std::fprintf(stderr, "zarq-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", sim.DevicePath().c_str());
    std::fflush(stdout);
    // A jittered run that showed a fault can only be gone through again
    // with its seed.
    if (options.jitterMs > 0)
        std::fprintf(stderr, "zarq-sim: jitter seed %llu (--seed repeats it)\n",
                     static_cast<unsigned long long>(sim.Seed()));

    while (!zarq::StopSignalReceived() && !sim.WaitFinished(100)) {
    }
    const zarq::FinishReason reason = sim.Reason();
    const std::string failure = sim.FailureText();
    std::string stopError;
    const bool written = sim.Stop(&stopError);
    if (options.baud != 0) {
        // How well the emulated line kept its own timetable; a bench compares
        // hosts only as finely as this.
        zarq::SimStats st = sim.Stats();
        std::vector<std::uint32_t>& late = st.answerLateNs;
        double typical = 0;
        if (!late.empty()) {
            std::nth_element(late.begin(),
                             late.begin() + static_cast<std::ptrdiff_t>(late.size() / 2),
                             late.end());
            typical = late[late.size() / 2] / 1000.0;
        }
        std::fprintf(
            stderr,
            "zarq-sim: %llu answers sent %.1f us late (median), %.0f us in all, at most %.0f us\n",
            static_cast<unsigned long long>(st.answersSent), typical,
            static_cast<double>(st.answerLateNsTotal) / 1000.0,
            static_cast<double>(st.answerLateNsMax) / 1000.0);
    }
    for (const std::string& board : sim.BoardSummaries())
        std::fprintf(stderr, "%s\n", board.c_str());
    if (options.boards != 1 && sim.Board() > sim.BoardsEnded())
        std::fprintf(stderr, "zarq-sim: board %llu (still in the fixture):\n",
                     static_cast<unsigned long long>(sim.Board()));
    std::fprintf(stderr, "%s\n", sim.SummaryLine().c_str());

    int code = 0;
    if (reason == zarq::FinishReason::LineFailed) {
        std::fprintf(stderr, "zarq-sim: the line failed: %s\n", failure.c_str());
        code = 1;
    }
    if (!written) {
        std::fprintf(stderr, "zarq-sim: %s\n", stopError.c_str());
        code = 1;
    }
    if (code == 0 && reason == zarq::FinishReason::TimedOut && options.exitAfterRun) {
        std::fprintf(stderr, "zarq-sim: timed out before the program was run\n");
        code = 3;
    }
    return code;
}
