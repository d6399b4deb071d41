#pragma once
// "Commands": what a download does to the flash, and how the target is
// started afterwards.

#include <utility>
#include <vector>

#include "sheet_page.h"

class QCheckBox;
class QRadioButton;

namespace talvex::ui {

class CommandsPage final : public SheetPage {
    Q_OBJECT
public:
    explicit CommandsPage(CommandsPageModel& model, QWidget* parent = nullptr);

signals:
    // The user has just checked (true) or cleared (false) Protect.
    void protectChanged(bool on);

protected:
    void Redraw() override;

private:
    QCheckBox* AddSwitch(QWidget* group, FlashSwitch which, const char* name, const QString& text,
                         int x, int y);

    CommandsPageModel& model_;
    std::vector<std::pair<FlashSwitch, QCheckBox*>> switches_;
    QRadioButton* runRadio_;
    QRadioButton* resetRadio_;
};

} // namespace talvex::ui
