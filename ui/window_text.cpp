#include "window_text.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include "front_texts.h"
#include "progress_model.h"

namespace talvex::ui {

QString FromBytes(const std::string& text) { return QString::fromStdString(text); }

QString StatusRowText(const std::string& line) {
    // Escaping before decoding gives the same row: the escaped bytes are
    // ASCII, and UTF-8 stays valid, or invalid, as it was.
    const std::string printable = Printable(line);
    const QByteArrayView bytes(printable.data(), static_cast<qsizetype>(printable.size()));
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString row = utf8(bytes);
    if (utf8.hasError()) row = QString::fromLatin1(bytes);
    return row;
}

QString ProgressBarText(ProgressPhase phase, std::uint32_t position, std::uint32_t range,
                        double elapsedSeconds) {
    const ProgressFigures figures =
        MeasureProgress(position, range, elapsedSeconds, kWindowProgress);
    QString text =
        QStringLiteral("%1 %2%").arg(QString::fromLatin1(PhaseName(phase))).arg(figures.percent);
    if (figures.secondsLeft) {
        text += QStringLiteral(", %1 left")
                    .arg(QString::fromStdString(
                        FormatTimeLeft(*figures.secondsLeft, kWindowProgress.hourField)));
    }
    return text;
}

FileRequest BrowseRequest(const std::string& imageFile, char separator) {
    FileRequest request;
    request.title = QStringLiteral("Select File");
    // The first filter's name is "*.hex " as the user knows it.
    request.filter = QStringLiteral("*.hex  (*.hex);;All Files (*)");
    const std::size_t split = imageFile.rfind(separator);
    if (split == std::string::npos) {
        request.proposedName = QString::fromStdString(imageFile);
    } else {
        request.folder = QString::fromStdString(imageFile.substr(0, split + 1));
        request.proposedName = QString::fromStdString(imageFile.substr(split + 1));
    }
    return request;
}

} // namespace talvex::ui
