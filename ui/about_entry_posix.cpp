#include "about_entry.h"

#include <QAction>
#include <QDialog>

namespace talvex::ui {

void InstallAboutEntry(QDialog& window, std::function<void()> show) {
    // A right click anywhere the controls do not claim for themselves opens
    // the window's menu.
    window.setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* separator = new QAction(&window);
    separator->setSeparator(true);
    window.addAction(separator);
    auto* about = new QAction(QString::fromUtf8(kAboutEntryText), &window);
    about->setObjectName(QStringLiteral("aboutAction"));
    QObject::connect(about, &QAction::triggered, &window, [show = std::move(show)] { show(); });
    window.addAction(about);
}

} // namespace talvex::ui
