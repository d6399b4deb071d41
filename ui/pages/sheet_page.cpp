#include "sheet_page.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>

#include "dialog_hooks.h"
#include "window_text.h"

namespace talvex::ui {

SheetPage::SheetPage(SheetPageModel& model, int width, int height, QWidget* parent)
    : QWidget(parent), units_(DialogFont()), pageModel_(model) {
    setFont(DialogFont());
    setMinimumSize(units_.X(width), units_.Y(height));
}

void SheetPage::Activate() {
    const bool slow = !pageModel_.HasBeenShown() && SlowToFill();
    if (slow) QApplication::setOverrideCursor(Qt::WaitCursor);
    pageModel_.Activate();
    if (slow) QApplication::restoreOverrideCursor();
    Redraw();
    // Over the page as it now stands.
    const std::string message = pageModel_.TakeMessage();
    if (!message.empty()) ShowMessageBox(this, FromBytes(message));
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

void DrawnBox::Show(const std::string& text) {
    shown_ = FromBytes(text);
    box_->setText(shown_);
}

BoxText DrawnBox::Taken() const {
    const QString text = box_->text();
    return {text.toStdString(), text == shown_};
}

} // namespace talvex::ui
