// The window tests run on the application's thread, as the window does.
// Without a display they draw offscreen; test discovery at build time runs
// this program too, so it must start anywhere.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("TALVEX"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
