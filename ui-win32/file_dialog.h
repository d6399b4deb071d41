#pragma once
// The system's open-file dialog for a toolkit-free request, shared by the
// main window's Browse and the Help page's two Browse buttons.

#include <string>

#include "help_launcher.h"

namespace talvex::win32 {

// Shows the dialog over owner (an HWND). The chosen file's full path as
// UTF-8, or empty when the user cancelled.
std::string AskOpenFileName(void* owner, const HelpBrowseRequest& request);

} // namespace talvex::win32
