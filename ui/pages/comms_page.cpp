#include "comms_page.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QStyledItemDelegate>
#include <algorithm>

#include "serial_port.h"
#include "window_text.h"

namespace talvex::ui {

namespace {

// Exact text without regard to letter case, as a list's own search goes.
int Find(const QComboBox* list, const std::string& value) {
    const QString wanted = FromBytes(value);
    for (int i = 0; i < list->count(); ++i) {
        if (QString::compare(list->itemData(i).toString(), wanted, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

// The closed list shows the port's name; the drop-down shows each name
// with the adapter's description beside it, and is as wide as they need.
class PortItemDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString description = index.data(CommsPage::kDescriptionRole).toString();
        if (!description.isEmpty()) option->text += QStringLiteral("  ") + description;
    }
};

void WidenPopup(QComboBox* list) {
    const QFontMetrics metrics(list->view()->font());
    int widest = list->width();
    for (int i = 0; i < list->count(); ++i) {
        QString line = list->itemText(i);
        const QString description = list->itemData(i, CommsPage::kDescriptionRole).toString();
        if (!description.isEmpty()) line += QStringLiteral("  ") + description;
        widest = std::max(widest, metrics.horizontalAdvance(line) + 32);
    }
    list->view()->setMinimumWidth(widest);
}

} // namespace

const std::vector<std::string>& CommsPage::BaudRates() {
    static const std::vector<std::string> rates = {"300",  "600",   "1200",  "2400",   "4800",
                                                   "9600", "19200", "38400", "115200", "230400"};
    return rates;
}

CommsPage::CommsPage(ConfigureValues& work, PortLister listPorts, QWidget* parent)
    : SheetPage(work, 195, 127, parent),
      listPorts_(std::move(listPorts)),
      port_(work.settings.port),
      baud_(work.settings.baud) {
    setObjectName(QStringLiteral("commsPage"));
    portList_ = new QComboBox(this);
    portList_->setObjectName(QStringLiteral("portList"));
    baudList_ = new QComboBox(this);
    baudList_->setObjectName(QStringLiteral("baudList"));
    AddLabel(QStringLiteral("Serial &Port"), 10, 20, portList_);
    Place(portList_, 10, 30, 80);
    AddLabel(QStringLiteral("&Baudrate"), 105, 20, baudList_);
    Place(baudList_, 105, 30, 80);

    // A pick is what the user chose; the stored text is the port's name,
    // never its description.
    portList_->setItemDelegate(new PortItemDelegate(portList_));
    connect(portList_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0) port_ = portList_->itemData(index).toString().toStdString();
        ShowDescription();
    });
    connect(baudList_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0) baud_ = baudList_->itemData(index).toString().toStdString();
    });
}

void CommsPage::FirstShown() {
    FillPorts();
    FillRates();
}

void CommsPage::FillPorts() {
    portList_->clear();
    std::vector<PortEntry> ports;
    if (listPorts_) {
        // Opening every candidate device can take a moment.
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ports = listPorts_();
        QApplication::restoreOverrideCursor();
    }
    for (const PortEntry& entry : ports) {
        const QString name = FromBytes(entry.name);
        portList_->addItem(name, name);
        if (!entry.description.empty()) {
            const QString description = FromBytes(entry.description);
            portList_->setItemData(portList_->count() - 1, description, kDescriptionRole);
            portList_->setItemData(portList_->count() - 1, description, Qt::ToolTipRole);
        }
    }
    int index = Find(portList_, port_);
    if (index < 0 && !port_.empty()) {
        // The configured port is what OK stores, so the list shows it, and
        // says that it cannot be opened now, rather than pointing at another.
        const QString name = FromBytes(port_);
        portList_->addItem(QStringLiteral("%1  (not present)").arg(name), name);
        index = portList_->count() - 1;
        portList_->setItemData(index, QStringLiteral("%1 cannot be opened now").arg(name),
                               Qt::ToolTipRole);
        portList_->setItemData(index, palette().brush(QPalette::Disabled, QPalette::Text),
                               Qt::ForegroundRole);
    }
    if (index >= 0) portList_->setCurrentIndex(index);
    ShowDescription();
    WidenPopup(portList_);
}

void CommsPage::ShowDescription() {
    // The closed list has room for the name only; the description of the
    // port shown is a hover away.
    portList_->setToolTip(portList_->currentData(Qt::ToolTipRole).toString());
}

void CommsPage::FillRates() {
    baudList_->clear();
    for (const std::string& rate : BaudRates())
        baudList_->addItem(FromBytes(rate), FromBytes(rate));
    int index = Find(baudList_, baud_);
    if (index < 0) {
        // A rate set elsewhere (57600 from the command line, say) stays what
        // it is and is shown as itself, among the others by value.
        const QString rate = FromBytes(baud_);
        std::uint32_t value = 0;
        index = baudList_->count();
        if (ParseBaud(baud_, value)) {
            for (int i = 0; i < baudList_->count(); ++i) {
                if (baudList_->itemData(i).toString().toULongLong() > value) {
                    index = i;
                    break;
                }
            }
        }
        baudList_->insertItem(index, rate, rate);
    }
    baudList_->setCurrentIndex(index);
}

void CommsPage::TakeBack(ConfigureValues& out) {
    out.settings.port = port_;
    out.settings.baud = baud_;
}

} // namespace talvex::ui
