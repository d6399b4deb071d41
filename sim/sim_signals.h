#pragma once
// SIGINT/SIGTERM for the zarq-sim program. Backend: sim_signals_posix.cpp.

namespace zarq {

void InstallStopSignals();
bool StopSignalReceived();

} // namespace zarq
