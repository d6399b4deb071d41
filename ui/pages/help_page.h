#pragma once
// "Help": where the browser and the help pages lie. The two boxes are taken
// back on OK; a choice made with a Browse button is stored at once.

#include <functional>
#include <string>

#include "sheet_page.h"

class QLineEdit;
class QPushButton;

namespace talvex::ui {

class HelpPage final : public SheetPage {
    Q_OBJECT
public:
    using StoreNow =
        std::function<void(const std::string&, const std::string&, const std::string&)>;
    HelpPage(ConfigureValues& work, StoreNow storeNow, QWidget* parent = nullptr);
    void TakeBack(ConfigureValues& out) override;

private:
    void BrowseBrowser();
    void BrowseHelpFile();
    void Refill();

    StoreNow storeNow_;
    QLineEdit* browser_;
    QLineEdit* helpPath_;
    QPushButton* browseBrowser_;
    QPushButton* browseHelp_;
};

} // namespace talvex::ui
