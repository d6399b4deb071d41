#include "help_page.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStringList>

#include "dialog_hooks.h"

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

HelpPage::HelpPage(HelpPageModel& model, QWidget* parent)
    : SheetPage(model, 195, 127, parent),
      model_(model),
      browser_(new QLineEdit(this)),
      helpPath_(new QLineEdit(this)) {
    setObjectName(QStringLiteral("helpPage"));
    browser_.Box()->setObjectName(QStringLiteral("browserBox"));
    helpPath_.Box()->setObjectName(QStringLiteral("helpPathBox"));
    browseBrowser_ = new QPushButton(QStringLiteral("Browse"), this);
    browseBrowser_->setObjectName(QStringLiteral("browseBrowserButton"));
    browseHelp_ = new QPushButton(QStringLiteral("Browse"), this);
    browseHelp_->setObjectName(QStringLiteral("browseHelpButton"));
    browseBrowser_->setAutoDefault(false);
    browseHelp_->setAutoDefault(false);
    AddLabel(QStringLiteral("&Browser - full path and extension"), 10, 50, browser_.Box());
    Place(browser_.Box(), 10, 60, 175, 15);
    Place(browseBrowser_, 155, 45, 30, 15);
    AddLabel(QStringLiteral("Help &Path"), 10, 85, helpPath_.Box());
    Place(helpPath_.Box(), 10, 95, 175, 15);
    Place(browseHelp_, 155, 80, 30, 15);
    // The boxes are filled once; switching tabs keeps what was typed.
    Refill();
    connect(browseBrowser_, &QPushButton::clicked, this, &HelpPage::BrowseBrowser);
    connect(browseHelp_, &QPushButton::clicked, this, &HelpPage::BrowseHelpFile);
}

void HelpPage::BrowseBrowser() {
    model_.BrowserChosen(
        AskOpenFileName(this, ToFileRequest(model_.BrowserRequest())).toStdString());
    Refill();
}

void HelpPage::BrowseHelpFile() {
    model_.HelpFileChosen(
        AskOpenFileName(this, ToFileRequest(model_.HelpFileRequest())).toStdString());
    Refill();
}

void HelpPage::Refill() {
    // Whatever the dialog's outcome, both boxes show the members again: text
    // typed since the page last took them is replaced.
    browser_.Show(model_.Browser());
    helpPath_.Show(model_.HelpFolder());
}

void HelpPage::Commit() { model_.TakeBoxes(browser_.Taken(), helpPath_.Taken()); }

} // namespace talvex::ui
