#include "commands_page.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QRadioButton>

namespace talvex::ui {

CommandsPage::CommandsPage(CommandsPageModel& model, QWidget* parent)
    : SheetPage(model, 195, 127, parent), model_(model) {
    setObjectName(QStringLiteral("commandsPage"));
    auto* flash = new QGroupBox(QStringLiteral("&Flash"), this);
    flash->setObjectName(QStringLiteral("flashGroup"));
    Place(flash, 20, 25, 80, 80);
    auto* run = new QGroupBox(QStringLiteral("&Run"), this);
    run->setObjectName(QStringLiteral("runGroup"));
    Place(run, 110, 25, 75, 80);

    AddSwitch(flash, FlashSwitch::MassErase, "massEraseCheck", QStringLiteral("&Mass erase"), 30,
              45);
    AddSwitch(flash, FlashSwitch::Program, "programCheck", QStringLiteral("&Program"), 30, 60);
    AddSwitch(flash, FlashSwitch::Verify, "verifyCheck", QStringLiteral("&Verify"), 30, 75);
    AddSwitch(flash, FlashSwitch::Protect, "protectCheck", QStringLiteral("Pro&tect"), 30, 90);

    // The two radio buttons share the group box and so exclude each other.
    runRadio_ = new QRadioButton(QStringLiteral("Ru&n"), run);
    runRadio_->setObjectName(QStringLiteral("runRadio"));
    Place(runRadio_, 120, 45);
    resetRadio_ = new QRadioButton(QStringLiteral("Re&set"), run);
    resetRadio_->setObjectName(QStringLiteral("resetRadio"));
    Place(resetRadio_, 120, 60);
    AddSwitch(run, FlashSwitch::Autorun, "autorunCheck", QStringLiteral("&Autorun"), 120, 90);

    Redraw();
    connect(resetRadio_, &QRadioButton::toggled, this,
            [this](bool checked) { model_.ChooseReset(checked); });
}

QCheckBox* CommandsPage::AddSwitch(QWidget* group, FlashSwitch which, const char* name,
                                   const QString& text, int x, int y) {
    auto* box = new QCheckBox(text, group);
    box->setObjectName(QString::fromLatin1(name));
    Place(box, x, y);
    switches_.emplace_back(which, box);
    connect(box, &QCheckBox::clicked, this, [this, which](bool checked) {
        const bool taken = model_.Click(which, checked);
        Redraw();
        if (taken && which == FlashSwitch::Protect) emit protectChanged(checked);
    });
    return box;
}

void CommandsPage::Redraw() {
    for (const auto& [which, box] : switches_) {
        box->setChecked(model_.Ticked(which));
        box->setEnabled(model_.Usable(which));
    }
    (model_.ResetChosen() ? resetRadio_ : runRadio_)->setChecked(true);
}

} // namespace talvex::ui
