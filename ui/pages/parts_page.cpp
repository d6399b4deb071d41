#include "parts_page.h"

#include <QComboBox>
#include <QLabel>

#include "window_text.h"

namespace talvex::ui {

PartsPage::PartsPage(PartsPageModel& model, QWidget* parent)
    : SheetPage(model, kWidth, 90, parent), model_(model) {
    setObjectName(QStringLiteral("partsPage"));
    partList_ = new QComboBox(this);
    partList_->setObjectName(QStringLiteral("partList"));
    partList_->setEditable(false);
    partList_->setMaxVisibleItems(10);
    AddLabel(QStringLiteral("Select Part"), 7, 7);
    Place(partList_, 7, 17, 155);

    AddLabel(QStringLiteral("ROM Start"), 14, 44);
    AddLabel(QStringLiteral("ROM End"), 14, 53);
    AddLabel(QStringLiteral("Kernel Start"), 14, 62);
    AddLabel(QStringLiteral("Kernel End"), 14, 71);
    auto value = [this](const char* name, int y) {
        auto* label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        Place(label, 90, y, 40);
        return label;
    };
    romStart_ = value("romStartValue", 44);
    romEnd_ = value("romEndValue", 53);
    kernelStart_ = value("kernelStartValue", 62);
    kernelEnd_ = value("kernelEndValue", 71);
    DrawLimits();

    connect(partList_, &QComboBox::activated, this, [this](int index) {
        model_.Choose(index);
        DrawLimits();
    });
}

void PartsPage::Redraw() {
    partList_->clear();
    for (const std::string& name : model_.Names()) partList_->addItem(FromBytes(name));
    partList_->setEnabled(model_.ListEnabled());
    if (model_.Selected() >= 0) partList_->setCurrentIndex(model_.Selected());
    DrawLimits();
}

void PartsPage::DrawLimits() {
    const PartsPageModel::Limits& limits = model_.Shown();
    romStart_->setText(FromBytes(limits.romStart));
    romEnd_->setText(FromBytes(limits.romEnd));
    kernelStart_->setText(FromBytes(limits.kernelStart));
    kernelEnd_->setText(FromBytes(limits.kernelEnd));
    // A value as written in the part database may be wider than its field;
    // the page's right margin is the limit.
    for (QLabel* value : {romStart_, romEnd_, kernelStart_, kernelEnd_})
        FitLabelToText(value, units_.X(kWidth - 7));
}

} // namespace talvex::ui
