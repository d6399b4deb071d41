#pragma once
// The configuration sheet "Configure": Parts, Help, Comms, Commands and,
// while Protect is on, Protection. It works on copies; the window takes
// them back only on OK.

#include <functional>
#include <string>
#include <vector>

#include "download_session.h"

class QWidget;

namespace talvex::ui {

// What the sheet needs besides the values it edits.
struct SheetServices {
    // The Parts page's choice takes effect at once, even on Cancel.
    std::function<void(const std::string& part)> partSelected;
    // Ports for the Comms page; empty uses the serial layer's listing.
    std::function<std::vector<std::string>()> listPorts;
    // A setting that a page stores at once (the Help page's Browse buttons):
    // section, key, value.
    std::function<void(const std::string&, const std::string&, const std::string&)> storeNow;
    // F1 on a page: opens the configuration help page.
    std::function<void()> showHelp;
};

// Shows the sheet modally over parent, opened at values.settings.propertyPage.
// True on OK, with values holding every choice (propertyPage included);
// false on Cancel, values unchanged.
bool RunConfigureSheet(QWidget* parent, ConfigureValues& values, const SheetServices& services);

} // namespace talvex::ui
