#include "console_interrupt.h"

#include <atomic>

#include <windows.h>

namespace talvex::win32 {
namespace {

std::atomic<HWND> g_window{nullptr};
std::atomic<UINT> g_message{0};

// Runs on a thread the system makes for the event: it only posts.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (const HWND window = g_window.load()) PostMessageW(window, g_message.load(), 0, 0);
    return TRUE;
}

} // namespace

void WatchConsoleInterrupts(void* window, unsigned message) {
    g_message = message;
    g_window = static_cast<HWND>(window);
    // Without a console to join there is nothing to watch; "access
    // denied" says the program has one already.
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED) return;
    // A starting program that ignores Ctrl+C passes that on to its children;
    // the window wants it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void StopWatchingConsoleInterrupts() { g_window = nullptr; }

} // namespace talvex::win32
