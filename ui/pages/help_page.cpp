#include "help_page.h"

#include <QLineEdit>

namespace talvex::ui {

HelpPage::HelpPage(ConfigureValues& work, QWidget* parent) : SheetPage(work, 195, 127, parent) {
    setObjectName(QStringLiteral("helpPage"));
    browser_ = new QLineEdit(QString::fromStdString(work.browser), this);
    browser_->setObjectName(QStringLiteral("browserBox"));
    helpPath_ = new QLineEdit(QString::fromStdString(work.helpFolder), this);
    helpPath_->setObjectName(QStringLiteral("helpPathBox"));
    AddLabel(QStringLiteral("&Browser - full path and extension"), 10, 50, browser_);
    Place(browser_, 10, 60, 175, 15);
    AddLabel(QStringLiteral("Help &Path"), 10, 85, helpPath_);
    Place(helpPath_, 10, 95, 175, 15);
}

void HelpPage::TakeBack(ConfigureValues& out) {
    // A box left as it was gives back the stored bytes, even where they are
    // not valid UTF-8 and would not survive the round trip through the box.
    if (browser_->text() != QString::fromStdString(work_.browser))
        out.browser = browser_->text().toStdString();
    if (helpPath_->text() != QString::fromStdString(work_.helpFolder))
        out.helpFolder = helpPath_->text().toStdString();
}

} // namespace talvex::ui
