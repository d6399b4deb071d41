#pragma once
// Help: the two HTML pages opened in the browser that section "Help" of the
// settings file names, and what the Help page's Browse buttons do. Free of
// any toolkit: a window calls ShowHelpPage on F1, the Help page calls the
// Browse helpers around its file dialog.

#include <functional>
#include <string>
#include <vector>

#include "process_launch.h"
#include "settings.h"

namespace talvex {

// The page of the main window and the page of every configuration page.
inline constexpr const char kMainHelpPage[] = "QV_P.html";
inline constexpr const char kSheetHelpPage[] = "QVC_B.html";

// The help folder, the platform's separator and the page name. A folder
// that already ends in a separator gets no second one.
std::string HelpPagePath(const std::string& folder, const std::string& page);

// Reads "Browser" and "Url" of section "Help" from the settings file now
// (saved values, not what a Help page shows unconfirmed) and starts the
// browser with the page's path as its one argument. A browser that cannot
// be started hands the page to the desktop's opener instead. Reports
// nothing and waits for nothing; true in every case: the request counts as
// handled.
bool ShowHelpPage(const Settings& settings, const std::string& page,
                  IProcessLauncher& launcher = SystemLauncher());

// Which program ShowHelpPage's way of opening a page used.
enum class HelpOpener { Browser, Desktop, Nothing };
struct HelpOpening {
    HelpOpener opener = HelpOpener::Nothing;
    std::string browser; // the "Browser" setting as read
    std::string page;    // the page's full path
};
// ShowHelpPage, telling the caller which program took the page, so that a
// window can say when the configured browser was passed over.
HelpOpening OpenHelpPage(const Settings& settings, const std::string& page,
                         IProcessLauncher& launcher = SystemLauncher());
// A status line for an opening that did not go to the configured browser
// (the desktop's opener took the page, or nothing could); empty when the
// browser took it.
std::string HelpOpeningLine(const HelpOpening& opening);

// One entry of a file dialog's type list, e.g. {"All Files", "*"}.
struct FileTypeFilter {
    std::string label;
    std::string pattern;
};

// What the Help page's file dialog is shown with.
struct HelpBrowseRequest {
    std::string title;
    std::string folder;       // starting folder; empty for the dialog's default
    std::string proposedName; // file name offered in the name box
    std::vector<FileTypeFilter> filters;
};

// Stores one setting at once: section, key, value.
using StoreSetting =
    std::function<void(const std::string&, const std::string&, const std::string&)>;

// A StoreSetting that writes into the given settings file.
StoreSetting StoreInSettingsFile(const std::string& settingsPath);

// "Select Browser": the browser box's text split at its last separator into
// starting folder (separator kept) and proposed name; without a separator
// the whole text is the name and no folder is given.
HelpBrowseRequest BrowserBrowseRequest(const std::string& browser);

// "Select Help File": starts in the help folder, proposing QV_P.html.
HelpBrowseRequest HelpFileBrowseRequest(const std::string& helpFolder);

// What a Browse button does with the dialog's answer. An empty answer
// (cancelled) changes nothing and returns false. Otherwise the member takes
// the new value and it is stored at once as "Browser" or "Url" of section
// "Help", whether or not the sheet is confirmed later.
bool TakeChosenBrowser(const std::string& chosenFile, std::string& browser,
                       const StoreSetting& store);
// The folder is the chosen file's path up to, not including, its last
// separator: the file itself only serves to pick the folder.
bool TakeChosenHelpFile(const std::string& chosenFile, std::string& helpFolder,
                        const StoreSetting& store);

} // namespace talvex
