#pragma once
// Every message box and file dialog of the program goes through here, so
// that tests can answer them and nothing ever waits for a person there.

#include <QString>
#include <functional>

class QWidget;

namespace talvex::ui {

struct FileRequest {
    QString title;        // e.g. "Select File"
    QString folder;       // starting folder; empty for the default
    QString proposedName; // file name shown in the name box
    QString filter;       // Qt filter text, e.g. "*.hex  (*.hex);;All Files (*)"
};

struct DialogHooks {
    // Shows text with an OK button; returns when it was closed.
    std::function<void(QWidget* parent, const QString& text)> message;
    // Asks for an existing file; empty when cancelled.
    std::function<QString(QWidget* parent, const FileRequest& request)> openFile;
    // Asks where to save a file, the user having agreed to replace one
    // that exists; empty when cancelled.
    std::function<QString(QWidget* parent, const FileRequest& request)> saveFile;
};

// The hooks in force. Defaults show real dialogs; tests replace them.
DialogHooks& Hooks();

void ShowMessageBox(QWidget* parent, const QString& text);
QString AskOpenFileName(QWidget* parent, const FileRequest& request);
QString AskSaveFileName(QWidget* parent, const FileRequest& request);

} // namespace talvex::ui
