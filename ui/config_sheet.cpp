#include "config_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QShortcut>
#include <QVBoxLayout>

#include "pages/comms_page.h"
#include "pages/commands_page.h"
#include "pages/help_page.h"
#include "pages/parts_page.h"
#include "pages/protection_page.h"

namespace talvex::ui {

ConfigSheet::ConfigSheet(const ConfigureValues& values, const SheetServices& services,
                         QWidget* parent)
    : QDialog(parent), model_(values, services), result_(values) {
    setObjectName(QStringLiteral("configureSheet"));
    setWindowTitle(QString::fromLatin1(SheetModel::Caption()));
    setFont(DialogFont());

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("sheetTabs"));
    parts_ = new PartsPage(model_.Parts());
    help_ = new HelpPage(model_.Help());
    comms_ = new CommsPage(model_.Comms());
    commands_ = new CommandsPage(model_.Commands());
    // The sheet owns the Protection page whether or not it is a tab, so that
    // Protect can add it and take it away any number of times.
    protection_ = new ProtectionPage(model_.Protection(), this);
    protection_->hide();
    pages_ = {parts_, help_, comms_, commands_, protection_};
    // F1 belongs to a page while the focus is inside it; on the tabs or the
    // OK and Cancel buttons it is nobody's and starts no browser.
    if (services.showHelp) {
        for (SheetPage* page : pages_) {
            auto* help = new QShortcut(QKeySequence::HelpContents, page);
            help->setContext(Qt::WidgetWithChildrenShortcut);
            connect(help, &QShortcut::activated, this, [show = services.showHelp] { show(); });
        }
    }
    // One size for every page, as a property sheet has, so the sheet does
    // not jump when the Protection tab comes and goes.
    QSize largest;
    for (SheetPage* page : pages_) largest = largest.expandedTo(page->minimumSize());
    for (SheetPage* page : pages_) page->setMinimumSize(largest);

    for (SheetModel::Page page : model_.Tabs())
        tabs_->addTab(PageFor(page), QString::fromLatin1(SheetModel::PageCaption(page)));
    tabs_->setCurrentIndex(model_.OpeningIndex());

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("sheetButtons"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(tabs_, &QTabWidget::currentChanged, this, &ConfigSheet::PageChanged);
    connect(commands_, &CommandsPage::protectChanged, this, &ConfigSheet::ProtectChanged);
    connect(buttons, &QDialogButtonBox::accepted, this, &ConfigSheet::Accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

ConfigSheet::~ConfigSheet() {
    // The pages go before the model they draw from, so that nothing a
    // control says while it is taken down reaches a model already gone;
    // no page comes to the front meanwhile.
    opened_ = false;
    for (SheetPage* page : pages_) delete page;
}

SheetPage* ConfigSheet::PageFor(SheetModel::Page page) const {
    switch (page) {
    case SheetModel::Page::Parts: return parts_;
    case SheetModel::Page::Help: return help_;
    case SheetModel::Page::Comms: return comms_;
    case SheetModel::Page::Commands: return commands_;
    case SheetModel::Page::Protection: return protection_;
    }
    return parts_;
}

void ConfigSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The page the sheet opens on is shown once the sheet itself is up, so
    // that a message it raises has the sheet to sit on.
    if (!opened_) {
        opened_ = true;
        PageChanged(tabs_->currentIndex());
    }
}

void ConfigSheet::PageChanged(int index) {
    if (!opened_ || index < 0) return;
    if (auto* page = qobject_cast<SheetPage*>(tabs_->widget(index))) page->Activate();
}

void ConfigSheet::ProtectChanged(bool on) {
    switch (model_.ProtectChanged(on)) {
    case SheetModel::TabChange::Added:
        tabs_->insertTab(
            kProtectionIndex, protection_,
            QString::fromLatin1(SheetModel::PageCaption(SheetModel::Page::Protection)));
        tabs_->setCurrentWidget(protection_);
        break;
    case SheetModel::TabChange::Removed:
        tabs_->removeTab(tabs_->indexOf(protection_));
        protection_->hide();
        break;
    case SheetModel::TabChange::None: break;
    }
}

void ConfigSheet::Accept() {
    for (SheetPage* page : pages_) page->Commit();
    result_ = model_.Accept(tabs_->currentIndex());
    accept();
}

bool RunConfigureSheet(QWidget* parent, ConfigureValues& values, const SheetServices& services) {
    ConfigSheet sheet(values, services, parent);
    if (sheet.exec() != QDialog::Accepted) return false;
    values = sheet.Result();
    return true;
}

} // namespace talvex::ui
