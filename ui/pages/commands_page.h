#pragma once
// "Commands": what a download does to the flash, and how the target is
// started afterwards.

#include <string>

#include "sheet_page.h"

class QCheckBox;
class QRadioButton;

namespace talvex::ui {

class CommandsPage final : public SheetPage {
    Q_OBJECT
public:
    explicit CommandsPage(ConfigureValues& work, QWidget* parent = nullptr);
    void TakeBack(ConfigureValues& out) override;

signals:
    // The user has just checked (true) or cleared (false) Protect.
    void protectChanged(bool on);

private:
    QCheckBox* AddSwitch(QWidget* group, const char* name, const QString& text, std::string& member,
                         int x, int y);
    void GreyForMassErase();

    // "Yes" or "No" once the user has clicked the box; until then the text
    // that was configured, whatever it holds.
    std::string massErase_;
    std::string program_;
    std::string verify_;
    std::string protect_;
    std::string autorun_;
    QCheckBox* massEraseCheck_;
    QCheckBox* programCheck_;
    QCheckBox* verifyCheck_;
    QCheckBox* protectCheck_;
    QCheckBox* autorunCheck_;
    QRadioButton* runRadio_;
    QRadioButton* resetRadio_;
};

} // namespace talvex::ui
