#include "parts_page.h"

#include <QComboBox>
#include <QLabel>
#include <algorithm>

#include "dialog_hooks.h"
#include "front_texts.h"
#include "part_db.h"
#include "window_text.h"

namespace talvex::ui {

namespace {

// Alphabetical as a sorted list box orders: letter case decides only
// between names that are otherwise equal.
bool Alphabetical(const std::string& a, const std::string& b) {
    const int folded = QString::compare(FromBytes(a), FromBytes(b), Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}

} // namespace

PartsPage::PartsPage(ConfigureValues& work, std::function<void(const std::string&)> partSelected,
                     QWidget* parent)
    : SheetPage(work, 186, 90, parent), partSelected_(std::move(partSelected)) {
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
    auto value = [this](const char* name, const char* text, int y) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setObjectName(QString::fromLatin1(name));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        Place(label, 90, y, 40);
        return label;
    };
    // What the page shows until a part database has been read.
    romStart_ = value("romStartValue", "0x00080000", 44);
    romEnd_ = value("romEndValue", "0x00087FFF", 53);
    kernelStart_ = value("kernelStartValue", "0x0009F800", 62);
    kernelEnd_ = value("kernelEndValue", "0x0009FFFF", 71);

    connect(partList_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0) Choose(partList_->itemText(index).toStdString());
    });
}

void PartsPage::FirstShown() {
    partList_->clear();
    const std::string& db = work_.settings.partDbPath;
    if (!PartDbPresent(db)) {
        ShowMessageBox(this, FromBytes(PartDbMissingOnPageText(db)));
        partList_->setEnabled(false);
        return;
    }
    partList_->setEnabled(true);
    std::vector<std::string> names = ListParts(db);
    std::stable_sort(names.begin(), names.end(), Alphabetical);
    for (const std::string& name : names) partList_->addItem(FromBytes(name));

    const QString wanted = FromBytes(work_.settings.part);
    int found = -1;
    for (int i = 0; i < partList_->count() && found < 0; ++i) {
        if (QString::compare(partList_->itemText(i), wanted, Qt::CaseInsensitive) == 0) found = i;
    }
    if (found >= 0) {
        // A setting that differs only in letter case keeps its own spelling.
        partList_->setCurrentIndex(found);
    } else if (partList_->count() > 0) {
        partList_->setCurrentIndex(0);
        Choose(partList_->itemText(0).toStdString());
        return;
    }
    // An empty database leaves the setting as it is: there is nothing to
    // put in its place.
    ShowLimits();
}

void PartsPage::Choose(const std::string& part) {
    work_.settings.part = part;
    if (partSelected_) partSelected_(part);
    ShowLimits();
}

void PartsPage::ShowLimits() {
    const std::string& db = work_.settings.partDbPath;
    const std::string& part = work_.settings.part;
    kernelStart_->setText(FromBytes(ReadPartKey(db, part, "KStart", "-1")));
    kernelEnd_->setText(FromBytes(ReadPartKey(db, part, "KEnd", "-1")));
    romStart_->setText(FromBytes(ReadPartKey(db, part, "ROMStart", "-1")));
    romEnd_->setText(FromBytes(ReadPartKey(db, part, "ROMEnd", "-1")));
}

} // namespace talvex::ui
