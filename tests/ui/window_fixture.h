#pragma once
// The main window against zarq-sim on a pseudo-terminal, driven on this
// thread (the window's) under the offscreen platform. Message boxes and the
// open-file dialog are answered through the dialog hooks.

#include <gtest/gtest.h>

#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "dialog_hooks.h"
#include "engine_fixture.h"
#include "ini_file.h"
#include "main_dialog.h"

namespace talvex::testing {

// Lets the window's events run until pred holds or the time is up.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 10000) {
    return QTest::qWaitFor(pred, ms);
}

template <class T>
T* Find(QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << "no widget named " << name;
    return widget;
}

inline std::vector<std::string> Rows(QWidget& window) {
    std::vector<std::string> rows;
    auto* list = window.findChild<QListWidget*>(QStringLiteral("statusList"));
    if (list == nullptr) return rows;
    for (int i = 0; i < list->count(); ++i) rows.push_back(list->item(i)->text().toStdString());
    return rows;
}

inline std::size_t CountRows(QWidget& window, const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& row : Rows(window)) n += row.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

inline bool HasRow(QWidget& window, const std::string& prefix) {
    return CountRows(window, prefix) > 0;
}

// The bytes of consecutive chunks, as the flash holds them after a download.
inline std::vector<std::uint8_t> ImageBytes(const std::vector<Chunk>& chunks) {
    std::vector<std::uint8_t> bytes;
    for (const auto& c : chunks) bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
    return bytes;
}

// Writes a picture of the window for people to look at.
inline void Screenshot(QWidget& window, const QString& name) {
    QDir().mkpath(QStringLiteral(TALVEX_SCREENSHOT_DIR));
    const QString path = QStringLiteral(TALVEX_SCREENSHOT_DIR "/%1.png").arg(name);
    EXPECT_TRUE(window.grab().save(path)) << path.toStdString();
}

class WindowTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        savedHooks_ = ui::Hooks();
        // Boxes are recorded and closed at once unless a test says otherwise.
        ui::Hooks().message = [this](QWidget*, const QString& text) {
            messages_.push_back(text.toStdString());
        };
        ui::Hooks().openFile = [](QWidget*, const ui::FileRequest&) {
            ADD_FAILURE() << "unexpected open-file dialog";
            return QString();
        };
    }
    void TearDown() override {
        ui::Hooks() = savedHooks_;
        EngineTest::TearDown();
    }

    // Stores the settings where start-up leaves them, so that the window
    // reads them back as it does when it opens.
    StartupResult Stored(const Settings& s, bool unattended) const {
        return StoredStartup(s, unattended);
    }

    // The modal run, with a guard that ends it should the window never
    // close by itself.
    static int ExecWithGuard(ui::MainDialog& dialog, int ms = 20000) {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &dialog, [&dialog] {
            ADD_FAILURE() << "the window did not close by itself";
            dialog.done(-100);
        });
        guard.start(ms);
        return dialog.exec();
    }

    ui::DialogHooks savedHooks_;
    std::vector<std::string> messages_;
};

} // namespace talvex::testing
