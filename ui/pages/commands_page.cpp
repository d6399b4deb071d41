#include "commands_page.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QRadioButton>

#include "settings.h"

namespace talvex::ui {

CommandsPage::CommandsPage(ConfigureValues& work, QWidget* parent)
    : SheetPage(work, 195, 127, parent),
      massErase_(work.settings.massErase),
      program_(work.settings.program),
      verify_(work.settings.verify),
      protect_(work.settings.protect),
      autorun_(work.settings.autorun) {
    setObjectName(QStringLiteral("commandsPage"));
    auto* flash = new QGroupBox(QStringLiteral("&Flash"), this);
    flash->setObjectName(QStringLiteral("flashGroup"));
    Place(flash, 20, 25, 80, 80);
    auto* run = new QGroupBox(QStringLiteral("&Run"), this);
    run->setObjectName(QStringLiteral("runGroup"));
    Place(run, 110, 25, 75, 80);

    massEraseCheck_ =
        AddSwitch(flash, "massEraseCheck", QStringLiteral("&Mass erase"), massErase_, 30, 45);
    programCheck_ = AddSwitch(flash, "programCheck", QStringLiteral("&Program"), program_, 30, 60);
    verifyCheck_ = AddSwitch(flash, "verifyCheck", QStringLiteral("&Verify"), verify_, 30, 75);
    protectCheck_ = AddSwitch(flash, "protectCheck", QStringLiteral("Pro&tect"), protect_, 30, 90);

    // The two radio buttons share the group box and so exclude each other.
    runRadio_ = new QRadioButton(QStringLiteral("Ru&n"), run);
    runRadio_->setObjectName(QStringLiteral("runRadio"));
    Place(runRadio_, 120, 45);
    resetRadio_ = new QRadioButton(QStringLiteral("Re&set"), run);
    resetRadio_->setObjectName(QStringLiteral("resetRadio"));
    Place(resetRadio_, 120, 60);
    (work.settings.runMode == 0 ? runRadio_ : resetRadio_)->setChecked(true);
    autorunCheck_ = AddSwitch(run, "autorunCheck", QStringLiteral("&Autorun"), autorun_, 120, 90);

    GreyForMassErase();
    connect(massEraseCheck_, &QCheckBox::clicked, this, &CommandsPage::GreyForMassErase);
    connect(protectCheck_, &QCheckBox::clicked, this, &CommandsPage::protectChanged);
}

QCheckBox* CommandsPage::AddSwitch(QWidget* group, const char* name, const QString& text,
                                   std::string& member, int x, int y) {
    auto* box = new QCheckBox(text, group);
    box->setObjectName(QString::fromLatin1(name));
    // Ticked only when the download will treat the switch as on: a
    // hand-edited "yes" shows as off, because off is what it does.
    box->setChecked(IsOn(member));
    Place(box, x, y);
    connect(box, &QCheckBox::clicked, this,
            [&member](bool checked) { member = checked ? "Yes" : "No"; });
    return box;
}

void CommandsPage::GreyForMassErase() {
    // A mass erase does nothing else; the other marks stay as they are for
    // when it is cleared again.
    const bool usable = !massEraseCheck_->isChecked();
    programCheck_->setEnabled(usable);
    verifyCheck_->setEnabled(usable);
    protectCheck_->setEnabled(usable);
}

void CommandsPage::TakeBack(ConfigureValues& out) {
    out.settings.massErase = massErase_;
    out.settings.program = program_;
    out.settings.verify = verify_;
    out.settings.protect = protect_;
    out.settings.autorun = autorun_;
    // The radio buttons count only once the user could have seen them; a
    // run mode the page never showed is kept as it was.
    if (HasBeenShown()) out.settings.runMode = resetRadio_->isChecked() ? 1 : 0;
}

} // namespace talvex::ui
