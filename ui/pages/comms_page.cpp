#include "comms_page.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QStyleOptionComboBox>
#include <QStyledItemDelegate>
#include <QStylePainter>
#include <algorithm>

#include "window_text.h"

namespace talvex::ui {

namespace {

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

// Draws the closed list as QComboBox does, with the entry's text fitted.
class PortList final : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        painter.setPen(palette().color(QPalette::Text));
        QStyleOptionComboBox option;
        initStyleOption(&option);
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                    QStyle::SC_ComboBoxEditField, this);
        const QString note = currentData(CommsPage::kNoteRole).toString();
        const QString name = option.currentText.left(option.currentText.size() - note.size());
        // The styles draw the text a few pixels in from the field's edges.
        option.currentText = FitPortText(name, note, fontMetrics(), field.width() - 6);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }
};

} // namespace

QString FitPortText(const QString& name, const QString& note, const QFontMetrics& metrics,
                    int width) {
    if (metrics.horizontalAdvance(name + note) <= width) return name + note;
    const int noteWidth = metrics.horizontalAdvance(note);
    if (noteWidth >= width) return metrics.elidedText(name + note, Qt::ElideMiddle, width);
    return metrics.elidedText(name, Qt::ElideLeft, width - noteWidth) + note;
}

CommsPage::CommsPage(CommsPageModel& model, QWidget* parent)
    : SheetPage(model, 195, 127, parent), model_(model) {
    setObjectName(QStringLiteral("commsPage"));
    portList_ = new PortList(this);
    portList_->setObjectName(QStringLiteral("portList"));
    baudList_ = new QComboBox(this);
    baudList_->setObjectName(QStringLiteral("baudList"));
    AddLabel(QStringLiteral("Serial &Port"), 10, 20, portList_);
    Place(portList_, 10, 30, 80);
    AddLabel(QStringLiteral("&Baudrate"), 105, 20, baudList_);
    Place(baudList_, 105, 30, 80);

    portList_->setItemDelegate(new PortItemDelegate(portList_));
    connect(portList_, &QComboBox::activated, this, [this](int index) {
        model_.PickPort(index);
        ShowDescription();
    });
    connect(baudList_, &QComboBox::activated, this, [this](int index) { model_.PickRate(index); });
}

void CommsPage::Redraw() {
    DrawPorts();
    DrawRates();
}

void CommsPage::DrawPorts() {
    portList_->clear();
    for (const PortChoice& port : model_.Ports()) {
        portList_->addItem(FromBytes(port.label));
        const int index = portList_->count() - 1;
        if (!port.description.empty())
            portList_->setItemData(index, FromBytes(port.description), kDescriptionRole);
        if (!port.tip.empty()) portList_->setItemData(index, FromBytes(port.tip), Qt::ToolTipRole);
        if (port.label.size() > port.name.size() &&
            port.label.compare(0, port.name.size(), port.name) == 0)
            portList_->setItemData(index, FromBytes(port.label.substr(port.name.size())),
                                   kNoteRole);
        if (!port.present) {
            portList_->setItemData(index, palette().brush(QPalette::Disabled, QPalette::Text),
                                   Qt::ForegroundRole);
        }
    }
    if (model_.SelectedPort() >= 0) portList_->setCurrentIndex(model_.SelectedPort());
    ShowDescription();
    WidenPopup(portList_);
}

void CommsPage::ShowDescription() {
    // The closed list has room for the name only; the description of the
    // port shown is a hover away.
    portList_->setToolTip(portList_->currentData(Qt::ToolTipRole).toString());
}

void CommsPage::DrawRates() {
    baudList_->clear();
    for (const std::string& rate : model_.Rates()) baudList_->addItem(FromBytes(rate));
    baudList_->setCurrentIndex(model_.SelectedRate());
}

} // namespace talvex::ui
