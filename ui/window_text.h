#pragma once
// The texts the main window builds from engine values: status lines as a
// list row can show them, and what Browse proposes.

#include <QString>
#include <cstdint>
#include <string>

#include "dialog_hooks.h"
#include "window_ops.h"

namespace talvex::ui {

// Engine text as the window shows it.
QString FromBytes(const std::string& text);

// One status line as one row: UTF-8 where the bytes are valid UTF-8, else
// Latin-1 (an identification from a noisy line is raw bytes), and control
// characters written as \r, \n or \xNN so that a row never breaks.
QString StatusRowText(const std::string& line);

// The open-file request of Browse for the current image file: title
// "Select File", the two filters, and the file split at its last path
// separator into the starting folder (separator kept) and the proposed
// name. Without a separator the whole value is the name and the dialog
// starts in its default folder.
FileRequest BrowseRequest(const std::string& imageFile, char separator);

// Save log's request, in the image's folder.
FileRequest SaveLogRequest(const std::string& imageFile, char separator);

} // namespace talvex::ui
