#include "window_text.h"

#include <QByteArrayView>
#include <QStringDecoder>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace talvex::ui {

QString StatusRowText(const std::string& line) {
    const QByteArrayView bytes(line.data(), static_cast<qsizetype>(line.size()));
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString decoded = utf8(bytes);
    if (utf8.hasError()) decoded = QString::fromLatin1(bytes);

    QString row;
    row.reserve(decoded.size());
    for (const QChar c : decoded) {
        const char16_t u = c.unicode();
        if (u == '\r') {
            row += QStringLiteral("\\r");
        } else if (u == '\n') {
            row += QStringLiteral("\\n");
        } else if (u < 0x20 || u == 0x7F) {
            row += QStringLiteral("\\x%1").arg(static_cast<unsigned>(u), 2, 16, QChar('0'));
        } else {
            row += c;
        }
    }
    return row;
}

namespace {

QString PhaseName(ProgressPhase phase) {
    switch (phase) {
    case ProgressPhase::Erase: return QStringLiteral("Erasing");
    case ProgressPhase::Write: return QStringLiteral("Writing");
    case ProgressPhase::Verify: return QStringLiteral("Verifying");
    case ProgressPhase::Protect: return QStringLiteral("Protecting");
    }
    return {};
}

QString Duration(double seconds) {
    // Rounded up: work that is left never shows as no time at all.
    const auto total = static_cast<unsigned long>(std::ceil(seconds));
    const unsigned long hours = total / 3600;
    const unsigned long minutes = total / 60 % 60;
    const unsigned long secs = total % 60;
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, QChar('0'))
            .arg(secs, 2, 10, QChar('0'));
    }
    return QStringLiteral("%1:%2").arg(minutes).arg(secs, 2, 10, QChar('0'));
}

} // namespace

QString ProgressBarText(ProgressPhase phase, std::uint32_t position, std::uint32_t range,
                        double elapsedSeconds) {
    // Halfword padding can carry the position slightly past the range.
    const std::uint64_t done = std::min<std::uint64_t>(position, range);
    const unsigned percent = range == 0 ? 100u : static_cast<unsigned>(done * 100 / range);
    QString text = QStringLiteral("%1 %2%").arg(PhaseName(phase)).arg(percent);
    if (elapsedSeconds >= 1.0 && done > 0 && done < range) {
        const double left = static_cast<double>(range - done) * elapsedSeconds / done;
        text += QStringLiteral(", %1 left").arg(Duration(left));
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
