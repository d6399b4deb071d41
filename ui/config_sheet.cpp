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
#include "settings.h"

namespace talvex::ui {

namespace {

CommsPage::PortLister PortsFrom(const SheetServices& services) {
    if (services.listPortEntries) return services.listPortEntries;
    if (services.listPorts) {
        return [names = services.listPorts] {
            std::vector<PortEntry> entries;
            for (std::string& name : names()) entries.push_back({std::move(name), {}});
            return entries;
        };
    }
    return [] { return ListPortEntries(); };
}

} // namespace

ConfigSheet::ConfigSheet(const ConfigureValues& values, const SheetServices& services,
                         QWidget* parent)
    : QDialog(parent), work_(values), result_(values) {
    setObjectName(QStringLiteral("configureSheet"));
    setWindowTitle(QStringLiteral("Configure"));
    setFont(DialogFont());

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("sheetTabs"));
    parts_ = new PartsPage(work_, services.partSelected);
    help_ = new HelpPage(work_, services.storeNow);
    comms_ = new CommsPage(work_, PortsFrom(services));
    commands_ = new CommandsPage(work_);
    // The sheet owns the Protection page whether or not it is a tab, so that
    // Protect can add it and take it away any number of times.
    protection_ = new ProtectionPage(work_, this);
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

    tabs_->addTab(parts_, QStringLiteral("Parts"));
    tabs_->addTab(help_, QStringLiteral("Help"));
    tabs_->addTab(comms_, QStringLiteral("Comms"));
    tabs_->addTab(commands_, QStringLiteral("Commands"));
    // The tab stands for what the download will do: present only while
    // Protect is exactly "Yes", as the Commands page ticks it.
    if (IsOn(work_.settings.protect)) tabs_->addTab(protection_, QStringLiteral("Protection"));

    const int remembered = work_.settings.propertyPage;
    tabs_->setCurrentIndex(remembered >= 0 && remembered < tabs_->count() ? remembered : 0);

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

ConfigSheet::~ConfigSheet() = default;

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
    const int at = tabs_->indexOf(protection_);
    if (on && at < 0) {
        tabs_->insertTab(kProtectionIndex, protection_, QStringLiteral("Protection"));
        tabs_->setCurrentWidget(protection_);
    } else if (!on && at >= 0) {
        tabs_->removeTab(at);
        protection_->hide();
    }
}

void ConfigSheet::Accept() {
    result_ = work_;
    for (SheetPage* page : pages_) page->TakeBack(result_);
    result_.settings.propertyPage = tabs_->currentIndex();
    accept();
}

bool RunConfigureSheet(QWidget* parent, ConfigureValues& values, const SheetServices& services) {
    ConfigSheet sheet(values, services, parent);
    if (sheet.exec() != QDialog::Accepted) return false;
    values = sheet.Result();
    return true;
}

} // namespace talvex::ui
