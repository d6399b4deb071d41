#include "sheet_page.h"

#include <QLabel>

namespace talvex::ui {

SheetPage::SheetPage(ConfigureValues& work, int width, int height, QWidget* parent)
    : QWidget(parent), work_(work), units_(DialogFont()) {
    setFont(DialogFont());
    setMinimumSize(units_.X(width), units_.Y(height));
}

void SheetPage::Activate() {
    if (!shown_) {
        shown_ = true;
        FirstShown();
    }
    BecameCurrent();
}

void SheetPage::Place(QWidget* control, int x, int y, int width, int height) {
    const QSize hint = control->sizeHint();
    QPoint at(units_.X(x), units_.Y(y));
    // Controls inside a group box are laid out in the page's units too.
    if (QWidget* holder = control->parentWidget(); holder != nullptr && holder != this)
        at = holder->mapFrom(this, at);
    control->setGeometry(at.x(), at.y(), width > 0 ? units_.X(width) : hint.width(),
                         height > 0 ? units_.Y(height) : hint.height());
}

QLabel* SheetPage::AddLabel(const QString& text, int x, int y, QWidget* buddy) {
    auto* label = new QLabel(text, this);
    if (buddy != nullptr) label->setBuddy(buddy);
    Place(label, x, y);
    return label;
}

} // namespace talvex::ui
