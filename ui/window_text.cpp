#include "window_text.h"

#include "download_session.h"
#include "front_texts.h"

namespace talvex::ui {

QString FromBytes(const std::string& text) { return QString::fromStdString(text); }

QString StatusRowText(const std::string& line) {
    return QString::fromStdString(StatusRowUtf8(line));
}

FileRequest BrowseRequest(const std::string& imageFile, char separator) {
    const HelpBrowseRequest split = ImageBrowseRequest(imageFile, separator);
    FileRequest request;
    request.title = QString::fromStdString(split.title);
    // The first filter's name is "*.hex " as the user knows it.
    request.filter = QStringLiteral("*.hex  (*.hex);;All Files (*)");
    request.folder = QString::fromStdString(split.folder);
    request.proposedName = QString::fromStdString(split.proposedName);
    return request;
}

FileRequest SaveLogRequest(const std::string& imageFile, char separator) {
    const HelpBrowseRequest split = LogSaveRequest(imageFile, separator);
    FileRequest request;
    request.title = QString::fromStdString(split.title);
    request.filter = QStringLiteral("Text files (*.txt);;All Files (*)");
    request.folder = QString::fromStdString(split.folder);
    request.proposedName = QString::fromStdString(split.proposedName);
    return request;
}

} // namespace talvex::ui
