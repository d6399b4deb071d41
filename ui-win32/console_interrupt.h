#pragma once
// Ctrl+C and Ctrl+Break in the console that talvex.exe was started from (a
// batch file's) end the window's run as they end talvex-cli's: the download
// is stopped, the port closed, and the program ends with 130 instead of
// dying wherever it is. A program of the window subsystem has no console of
// its own, so it joins the one it was started from.

namespace talvex::win32 {

// Joins the starting program's console, when there is one, and from then on
// posts message to window (an HWND) at each Ctrl+C or Ctrl+Break. Once
// window is null the keys are taken and nothing more is done: the run is
// already ending.
void WatchConsoleInterrupts(void* window, unsigned message);
void StopWatchingConsoleInterrupts();

} // namespace talvex::win32
