#include "help_page.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStringList>

#include "dialog_hooks.h"
#include "help_launcher.h"

namespace talvex::ui {

namespace {

// The toolkit-free request as the file dialog takes it: "label (pattern)"
// entries joined with ";;".
FileRequest ToFileRequest(const HelpBrowseRequest& request) {
    FileRequest file;
    file.title = QString::fromStdString(request.title);
    file.folder = QString::fromStdString(request.folder);
    file.proposedName = QString::fromStdString(request.proposedName);
    QStringList filters;
    for (const FileTypeFilter& f : request.filters) {
        filters << QStringLiteral("%1 (%2)").arg(QString::fromStdString(f.label),
                                                 QString::fromStdString(f.pattern));
    }
    file.filter = filters.join(QStringLiteral(";;"));
    return file;
}

} // namespace

HelpPage::HelpPage(ConfigureValues& work, StoreNow storeNow, QWidget* parent)
    : SheetPage(work, 195, 127, parent), storeNow_(std::move(storeNow)) {
    setObjectName(QStringLiteral("helpPage"));
    browser_ = new QLineEdit(QString::fromStdString(work.browser), this);
    browser_->setObjectName(QStringLiteral("browserBox"));
    helpPath_ = new QLineEdit(QString::fromStdString(work.helpFolder), this);
    helpPath_->setObjectName(QStringLiteral("helpPathBox"));
    browseBrowser_ = new QPushButton(QStringLiteral("Browse"), this);
    browseBrowser_->setObjectName(QStringLiteral("browseBrowserButton"));
    browseHelp_ = new QPushButton(QStringLiteral("Browse"), this);
    browseHelp_->setObjectName(QStringLiteral("browseHelpButton"));
    browseBrowser_->setAutoDefault(false);
    browseHelp_->setAutoDefault(false);
    AddLabel(QStringLiteral("&Browser - full path and extension"), 10, 50, browser_);
    Place(browser_, 10, 60, 175, 15);
    Place(browseBrowser_, 155, 45, 30, 15);
    AddLabel(QStringLiteral("Help &Path"), 10, 85, helpPath_);
    Place(helpPath_, 10, 95, 175, 15);
    Place(browseHelp_, 155, 80, 30, 15);
    connect(browseBrowser_, &QPushButton::clicked, this, &HelpPage::BrowseBrowser);
    connect(browseHelp_, &QPushButton::clicked, this, &HelpPage::BrowseHelpFile);
}

void HelpPage::BrowseBrowser() {
    const QString chosen =
        AskOpenFileName(this, ToFileRequest(BrowserBrowseRequest(work_.browser)));
    TakeChosenBrowser(chosen.toStdString(), work_.browser, storeNow_);
    Refill();
}

void HelpPage::BrowseHelpFile() {
    const QString chosen =
        AskOpenFileName(this, ToFileRequest(HelpFileBrowseRequest(work_.helpFolder)));
    TakeChosenHelpFile(chosen.toStdString(), work_.helpFolder, storeNow_);
    Refill();
}

void HelpPage::Refill() {
    // Whatever the dialog's outcome, both boxes show the members again: text
    // typed since the page last took them is replaced.
    browser_->setText(QString::fromStdString(work_.browser));
    helpPath_->setText(QString::fromStdString(work_.helpFolder));
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
