#pragma once
// "Help": where the browser and the help pages lie. The two boxes are taken
// back on OK.

#include "sheet_page.h"

class QLineEdit;

namespace talvex::ui {

class HelpPage final : public SheetPage {
    Q_OBJECT
public:
    explicit HelpPage(ConfigureValues& work, QWidget* parent = nullptr);
    void TakeBack(ConfigureValues& out) override;

private:
    QLineEdit* browser_;
    QLineEdit* helpPath_;
};

} // namespace talvex::ui
