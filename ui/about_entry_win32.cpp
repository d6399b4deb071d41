#include "about_entry.h"

#include <QAbstractNativeEventFilter>
#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QPointer>

#include <windows.h>

namespace talvex::ui {

namespace {

// The command id of the entry; system-menu ids keep their low four bits
// clear and stay below 0xF000.
constexpr UINT kAboutCommand = 0x10;

class SystemMenuFilter final : public QAbstractNativeEventFilter {
public:
    SystemMenuFilter(QDialog& window, std::function<void()> show)
        : window_(&window), show_(std::move(show)) {}

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "windows_generic_MSG" || !window_) return false;
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message != WM_SYSCOMMAND || (msg->wParam & 0xFFF0) != kAboutCommand) return false;
        if (msg->hwnd != reinterpret_cast<HWND>(window_->winId())) return false;
        show_();
        return true;
    }

private:
    QPointer<QDialog> window_;
    std::function<void()> show_;
};

} // namespace

void InstallAboutEntry(QDialog& window, std::function<void()> show) {
    const HWND hwnd = reinterpret_cast<HWND>(window.winId());
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (menu == nullptr) return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kAboutCommand,
                reinterpret_cast<LPCWSTR>(QString::fromUtf8(kAboutEntryText).utf16()));
    auto* filter = new SystemMenuFilter(window, std::move(show));
    QCoreApplication::instance()->installNativeEventFilter(filter);
    // The filter goes with the window.
    QObject::connect(&window, &QObject::destroyed, [filter] {
        QCoreApplication::instance()->removeNativeEventFilter(filter);
        delete filter;
    });
}

} // namespace talvex::ui
