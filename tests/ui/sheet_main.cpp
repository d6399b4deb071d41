// The configuration sheet's tests run under the offscreen platform unless
// told otherwise, also when test discovery runs the program at build time.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

namespace {

// The offscreen platform says so each time a window asks for what it has no
// use for; that is noise, not news.
QtMessageHandler previous = nullptr;

void QuietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QLatin1String("This plugin does not support"))) return;
    if (previous != nullptr) previous(type, context, text);
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    previous = qInstallMessageHandler(QuietOffscreen);
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("TALVEX"));
    return RUN_ALL_TESTS();
}
