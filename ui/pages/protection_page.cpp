#include "protection_page.h"

#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>

#include "window_text.h"

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

ProtectionPage::ProtectionPage(ProtectionPageModel& model, QWidget* parent)
    : SheetPage(model, 212, 127, parent), model_(model), keyBox_(new QLineEdit(this)) {
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

    QLineEdit* key = keyBox_.Box();
    key->setObjectName(QStringLiteral("keyBox"));
    AddLabel(QStringLiteral("Key&0"), 96, 95, key);
    // The key is typed as bare hexadecimal digits; the prefix is only shown.
    AddLabel(QStringLiteral("0x"), 86, 107)->setObjectName(QStringLiteral("keyPrefixLabel"));
    Place(key, 96, 105, 73);

    // All and None refresh the list only; a key typed meanwhile stays.
    connect(all, &QPushButton::clicked, this, [this] {
        model_.HighlightAll();
        DrawHighlights();
    });
    connect(none, &QPushButton::clicked, this, [this] {
        model_.HighlightNone();
        DrawHighlights();
    });
    connect(unitList_, &QListWidget::itemSelectionChanged, this, &ProtectionPage::TakeHighlights);
}

void ProtectionPage::Redraw() {
    if (!keyShown_) {
        keyShown_ = true;
        unitList_->setFont(ProtectionListFont(unitList_->logicalDpiX()));
        keyBox_.Show(model_.Key());
    }
    const QSignalBlocker quiet(unitList_);
    unitList_->clear();
    for (const ProtectionLine& line : model_.Lines()) {
        auto* item = new QListWidgetItem(FromBytes(line.text));
        item->setData(kItemValueRole, static_cast<int>(line.itemValue));
        unitList_->addItem(item);
        item->setSelected(line.highlighted);
    }
}

void ProtectionPage::DrawHighlights() {
    const QSignalBlocker quiet(unitList_);
    const auto& lines = model_.Lines();
    for (int i = 0; i < unitList_->count() && i < static_cast<int>(lines.size()); ++i)
        unitList_->item(i)->setSelected(lines[static_cast<std::size_t>(i)].highlighted);
}

void ProtectionPage::TakeHighlights() {
    std::vector<bool> highlighted;
    highlighted.reserve(static_cast<std::size_t>(unitList_->count()));
    for (int i = 0; i < unitList_->count(); ++i)
        highlighted.push_back(unitList_->item(i)->isSelected());
    model_.SetHighlights(highlighted);
}

void ProtectionPage::Commit() { model_.TakeKeyBox(keyBox_.Taken()); }

} // namespace talvex::ui
