#include "protection_page.h"

#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <cstdio>

#include "dialog_hooks.h"
#include "front_texts.h"
#include "part_db.h"
#include "window_text.h"
#include "protection_groups.h"

namespace talvex::ui {

QFont ProtectionListFont(int dotsPerInchX) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setFixedPitch(true);
    font.setStyleHint(QFont::TypeWriter);
    // 24 * dpi / 160, rounded to the nearest pixel: 14 pixels at 96 dpi.
    font.setPixelSize(std::max(1, (24 * dotsPerInchX + 80) / 160));
    font.setWeight(QFont::Medium);
    return font;
}

ProtectionPage::ProtectionPage(ConfigureValues& work, QWidget* parent)
    : SheetPage(work, 212, 127, parent) {
    setObjectName(QStringLiteral("protectionPage"));
    AddLabel(QStringLiteral("Highlight ranges to protect"), 10, 5);
    unitList_ = new QListWidget(this);
    unitList_->setObjectName(QStringLiteral("unitList"));
    unitList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    unitList_->setSortingEnabled(false);
    Place(unitList_, 10, 15, 160, 75);

    auto* all = new QPushButton(QStringLiteral("&All"), this);
    all->setObjectName(QStringLiteral("allButton"));
    all->setAutoDefault(false);
    auto* none = new QPushButton(QStringLiteral("&None"), this);
    none->setObjectName(QStringLiteral("noneButton"));
    none->setAutoDefault(false);
    Place(all, 10, 105, 32, 14);
    Place(none, 46, 105, 32, 14);

    keyBox_ = new QLineEdit(this);
    keyBox_->setObjectName(QStringLiteral("keyBox"));
    AddLabel(QStringLiteral("Key&0"), 96, 95, keyBox_);
    // The key is typed as bare hexadecimal digits; the prefix is only shown.
    AddLabel(QStringLiteral("0x"), 86, 107)->setObjectName(QStringLiteral("keyPrefixLabel"));
    Place(keyBox_, 96, 105, 73);

    connect(all, &QPushButton::clicked, unitList_, &QListWidget::selectAll);
    connect(none, &QPushButton::clicked, unitList_, &QListWidget::clearSelection);
}

void ProtectionPage::FirstShown() {
    unitList_->setFont(ProtectionListFont(unitList_->logicalDpiX()));
    const std::string& db = work_.settings.partDbPath;
    if (!PartDbPresent(db)) {
        // The list still comes up, with the built-in layout.
        ShowMessageBox(this, FromBytes(PartDbMissingOnPageText(db)));
    }
    keyBox_->setText(QString::fromStdString(work_.settings.key0));
}

void ProtectionPage::BecameCurrent() { Fill(); }

void ProtectionPage::Fill() {
    unitList_->clear();
    const std::uint64_t saved = work_.settings.mask;
    const auto units =
        ListProtectionUnits(BuildProtectionGroups(work_.settings.partDbPath, work_.settings.part));
    int lastPagesLine = -1; // page lines stay above named lines
    for (const ProtectionUnit& unit : units) {
        auto* item = new QListWidgetItem;
        if (!unit.name.empty()) {
            item->setText(QString::fromStdString(unit.name));
            unitList_->addItem(item);
        } else {
            char text[80];
            std::snprintf(text, sizeof text, "Pages %03u-%03u (0x%05x-0x%05x)",
                          static_cast<unsigned>(unit.firstPage),
                          static_cast<unsigned>(unit.lastPage), static_cast<unsigned>(unit.start),
                          static_cast<unsigned>(unit.end));
            item->setText(QString::fromLatin1(text));
            unitList_->insertItem(++lastPagesLine, item);
        }
        item->setData(kItemValueRole,
                      static_cast<int>((unit.bit & 31u) | (unit.highWord ? 32u : 0u)));
        item->setSelected(((saved >> MaskBit(unit)) & 1u) != 0);
    }
}

std::uint64_t ProtectionPage::MaskFromHighlights() const {
    std::uint64_t mask = 0;
    for (int i = 0; i < unitList_->count(); ++i) {
        const QListWidgetItem* item = unitList_->item(i);
        if (!item->isSelected()) continue;
        const unsigned value = item->data(kItemValueRole).toUInt();
        mask |= std::uint64_t{1} << ((value & 31u) + ((value & 32u) != 0 ? 32u : 0u));
    }
    return mask;
}

void ProtectionPage::TakeBack(ConfigureValues& out) {
    if (!HasBeenShown()) return;
    out.settings.mask = MaskFromHighlights();
    // Typed text is stored as typed (an empty box gives an empty key); an
    // untouched box keeps the stored bytes as they were.
    if (keyBox_->text() != QString::fromStdString(work_.settings.key0))
        out.settings.key0 = keyBox_->text().toStdString();
}

} // namespace talvex::ui
