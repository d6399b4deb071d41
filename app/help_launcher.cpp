#include "help_launcher.h"

#include "ini_file.h"
#include "startup.h"

namespace talvex {
namespace {

std::size_t LastSeparator(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) return i - 1;
    }
    return std::string::npos;
}

} // namespace

std::string HelpPagePath(const std::string& folder, const std::string& page) {
    if (!folder.empty() && IsPathSeparator(folder.back())) return folder + page;
    return folder + PathSeparator() + page;
}

bool ShowHelpPage(const Settings& settings, const std::string& page, IProcessLauncher& launcher) {
    OpenHelpPage(settings, page, launcher);
    return true;
}

HelpOpening OpenHelpPage(const Settings& settings, const std::string& page,
                         IProcessLauncher& launcher) {
    HelpOpening opening;
    opening.browser = ReadHelpBrowser(settings);
    opening.page = HelpPagePath(ReadHelpFolder(settings), page);
    // F1 must never do nothing: a browser setting from another system, or
    // one since uninstalled, still gets the page shown.
    if (launcher.Start(opening.browser, opening.page)) {
        opening.opener = HelpOpener::Browser;
    } else if (launcher.OpenWithDesktop(opening.page)) {
        opening.opener = HelpOpener::Desktop;
    }
    return opening;
}

std::string HelpOpeningLine(const HelpOpening& opening) {
    switch (opening.opener) {
    case HelpOpener::Browser: return {};
    case HelpOpener::Desktop:
        return "Help: the browser " + opening.browser + " could not be started; opened " +
               opening.page + " with the default browser.";
    case HelpOpener::Nothing: break;
    }
    return "Help: neither the browser " + opening.browser + " nor the default browser could open " +
           opening.page + ".";
}

StoreSetting StoreInSettingsFile(const std::string& settingsPath) {
    return [settingsPath](const std::string& section, const std::string& key,
                          const std::string& value) {
        // Not reported, as every settings write of the window: the member
        // keeps the value for the rest of the run.
        ini::WriteText(settingsPath, section, key, value);
    };
}

HelpBrowseRequest BrowserBrowseRequest(const std::string& browser) {
    HelpBrowseRequest request;
    request.title = "Select Browser";
    const std::size_t split = LastSeparator(browser);
    if (split == std::string::npos) {
        request.proposedName = browser;
    } else {
        request.folder = browser.substr(0, split + 1);
        request.proposedName = browser.substr(split + 1);
    }
#ifdef _WIN32
    request.filters = {{"*.exe ", "*.exe"}, {"All Files", "*"}};
#else
    // Programs here carry no extension: offering *.exe first would show an
    // empty folder.
    request.filters = {{"All Files", "*"}};
#endif
    return request;
}

HelpBrowseRequest HelpFileBrowseRequest(const std::string& helpFolder) {
    HelpBrowseRequest request;
    request.title = "Select Help File";
    request.folder = helpFolder;
    request.proposedName = kMainHelpPage;
    request.filters = {{"*.html ", "*.html"}, {"All Files", "*"}};
    return request;
}

bool TakeChosenBrowser(const std::string& chosenFile, std::string& browser,
                       const StoreSetting& store) {
    if (chosenFile.empty()) return false;
    browser = chosenFile;
    if (store) store("Help", "Browser", browser);
    return true;
}

bool TakeChosenHelpFile(const std::string& chosenFile, std::string& helpFolder,
                        const StoreSetting& store) {
    if (chosenFile.empty()) return false;
    const std::size_t split = LastSeparator(chosenFile);
    helpFolder = split == std::string::npos ? std::string() : chosenFile.substr(0, split);
    if (store) store("Help", "Url", helpFolder);
    return true;
}

} // namespace talvex
