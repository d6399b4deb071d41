#pragma once
// "Help": where the browser and the help pages lie. The two boxes are taken
// back on OK; a choice made with a Browse button is stored at once.

#include "sheet_page.h"

class QPushButton;

namespace talvex::ui {

class HelpPage final : public SheetPage {
    Q_OBJECT
public:
    explicit HelpPage(HelpPageModel& model, QWidget* parent = nullptr);
    void Commit() override;

private:
    void BrowseBrowser();
    void BrowseHelpFile();
    void Refill();

    HelpPageModel& model_;
    DrawnBox browser_;
    DrawnBox helpPath_;
    QPushButton* browseBrowser_;
    QPushButton* browseHelp_;
};

} // namespace talvex::ui
