#pragma once
// Ctrl-C and SIGTERM (a batch file's `timeout`) end the window's run the way
// they end talvex-cli's: the download is stopped, the port closed, and the
// program ends with its own code instead of dying wherever it is.

#include <functional>

namespace talvex::ui {

// Calls onInterrupt on the application's thread at each such signal. Call
// once, after the application object exists. Where the platform sends a
// window program no such signal, it does nothing.
void WatchInterrupts(std::function<void()> onInterrupt);

} // namespace talvex::ui
