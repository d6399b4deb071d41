#include "window_text.h"

#include <utility>

#include "download_session.h"
#include "front_texts.h"

namespace talvex::ui {

QString FromBytes(const std::string& text) { return QString::fromStdString(text); }

QString StatusRowText(const std::string& line) {
    return QString::fromStdString(StatusRowUtf8(line));
}

namespace {

FileRequest FromEngineRequest(const HelpBrowseRequest& split, QString filter) {
    FileRequest request;
    request.title = QString::fromStdString(split.title);
    request.filter = std::move(filter);
    request.folder = QString::fromStdString(split.folder);
    request.proposedName = QString::fromStdString(split.proposedName);
    return request;
}

} // namespace

FileRequest BrowseRequest(const std::string& imageFile, char separator) {
    // The first filter's name is "*.hex " as the user knows it.
    return FromEngineRequest(ImageBrowseRequest(imageFile, separator),
                             QStringLiteral("*.hex  (*.hex);;All Files (*)"));
}

FileRequest SaveLogRequest(const std::string& imageFile, char separator) {
    return FromEngineRequest(LogSaveRequest(imageFile, separator),
                             QStringLiteral("Text files (*.txt);;All Files (*)"));
}

} // namespace talvex::ui
