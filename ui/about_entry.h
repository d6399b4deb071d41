#pragma once
// "&About TALVEX..." where each platform lets a program offer it: the
// window's system menu on Windows; on desktops whose window manager owns
// that menu, the window's own context menu.

#include <functional>

class QDialog;

namespace talvex::ui {

// The entry's text; also the name tests look for.
inline constexpr const char* kAboutEntryText = "&About TALVEX...";

// Adds a separator and the entry; show runs on the window's thread when the
// entry is chosen. Call once, after the window's controls exist.
void InstallAboutEntry(QDialog& window, std::function<void()> show);

} // namespace talvex::ui
