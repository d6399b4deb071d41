#pragma once
// The configuration sheet "Configure": Parts, Help, Comms, Commands and,
// while Protect is on, Protection. It works on copies; the window takes
// them back only on OK.

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "sheet_model.h"

class QTabWidget;

namespace talvex::ui {

class CommsPage;
class CommandsPage;
class HelpPage;
class PartsPage;
class ProtectionPage;
class SheetPage;

// What the sheet needs besides the values it edits.
using SheetServices = talvex::SheetServices;

// Shows the sheet modally over parent, opened at values.settings.propertyPage.
// True on OK, with values holding every choice (propertyPage included);
// false on Cancel, values unchanged.
bool RunConfigureSheet(QWidget* parent, ConfigureValues& values, const SheetServices& services);

// The sheet itself; RunConfigureSheet is the way in for the window, tests
// drive it directly.
class ConfigSheet final : public QDialog {
    Q_OBJECT
public:
    static constexpr int kProtectionIndex = SheetModel::kProtectionIndex;

    ConfigSheet(const ConfigureValues& values, const SheetServices& services,
                QWidget* parent = nullptr);
    ~ConfigSheet() override;

    // After OK: every value the pages give back, with the page that was in
    // front as the remembered page.
    const ConfigureValues& Result() const { return result_; }

    QTabWidget* Tabs() const { return tabs_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void PageChanged(int index);
    void ProtectChanged(bool on);
    void Accept();
    SheetPage* PageFor(SheetModel::Page page) const;

    SheetModel model_;       // what the pages show and edit
    ConfigureValues result_; // what OK gave
    QTabWidget* tabs_;
    PartsPage* parts_;
    HelpPage* help_;
    CommsPage* comms_;
    CommandsPage* commands_;
    ProtectionPage* protection_;
    std::vector<SheetPage*> pages_; // all five, whether in a tab or not
    bool opened_ = false;
};

} // namespace talvex::ui
