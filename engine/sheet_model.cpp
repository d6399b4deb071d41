#include "sheet_model.h"

#include "settings.h"

namespace talvex {

void SheetPageModel::Activate() {
    if (!shown_) {
        shown_ = true;
        FirstShown();
    }
    BecameCurrent();
}

std::string SheetPageModel::TakeMessage() {
    std::string message;
    message.swap(message_);
    return message;
}

HelpPageModel::HelpPageModel(ConfigureValues& work, StoreSetting storeNow)
    : SheetPageModel(work), storeNow_(std::move(storeNow)) {}

void HelpPageModel::BrowserChosen(const std::string& chosenFile) {
    TakeChosenBrowser(chosenFile, work_.browser, storeNow_);
}

void HelpPageModel::HelpFileChosen(const std::string& chosenFile) {
    TakeChosenHelpFile(chosenFile, work_.helpFolder, storeNow_);
}

void HelpPageModel::TakeBoxes(const BoxText& browser, const BoxText& helpFolder) {
    browserBox_ = browser;
    helpFolderBox_ = helpFolder;
}

void HelpPageModel::TakeBack(ConfigureValues& out) const {
    out.browser = browserBox_.asShown ? work_.browser : browserBox_.text;
    out.helpFolder = helpFolderBox_.asShown ? work_.helpFolder : helpFolderBox_.text;
}

CommandsPageModel::CommandsPageModel(ConfigureValues& work)
    : SheetPageModel(work), reset_(work.settings.runMode != 0) {
    const Settings& s = work.settings;
    const std::string* texts[] = {&s.massErase, &s.program, &s.verify, &s.protect, &s.autorun};
    for (int i = 0; i < 5; ++i) switches_[i] = {*texts[i], IsOn(*texts[i])};
}

CommandsPageModel::Switch& CommandsPageModel::At(FlashSwitch which) {
    return switches_[static_cast<int>(which)];
}

const CommandsPageModel::Switch& CommandsPageModel::At(FlashSwitch which) const {
    return switches_[static_cast<int>(which)];
}

bool CommandsPageModel::Ticked(FlashSwitch which) const { return At(which).ticked; }

bool CommandsPageModel::Usable(FlashSwitch which) const {
    switch (which) {
    case FlashSwitch::Program:
    case FlashSwitch::Verify:
    case FlashSwitch::Protect: return !Ticked(FlashSwitch::MassErase);
    case FlashSwitch::MassErase:
    case FlashSwitch::Autorun: return true;
    }
    return true;
}

bool CommandsPageModel::Click(FlashSwitch which, bool ticked) {
    if (!Usable(which)) return false;
    At(which) = {ticked ? "Yes" : "No", ticked};
    return true;
}

void CommandsPageModel::TakeBack(ConfigureValues& out) const {
    Settings& s = out.settings;
    s.massErase = At(FlashSwitch::MassErase).text;
    s.program = At(FlashSwitch::Program).text;
    s.verify = At(FlashSwitch::Verify).text;
    s.protect = At(FlashSwitch::Protect).text;
    s.autorun = At(FlashSwitch::Autorun).text;
    // The radio buttons count only once the user could have seen them; a
    // run mode the page never showed is kept as it was.
    if (HasBeenShown()) s.runMode = reset_ ? 1 : 0;
}

namespace {

// Ports as the services give them: with descriptions when they can, names
// only when that is all there is, else the serial layer's own listing.
CommsPageModel::PortLister PortsFrom(const SheetServices& services) {
    if (services.listPortEntries) return services.listPortEntries;
    if (services.listPorts) {
        return [names = services.listPorts] {
            std::vector<PortEntry> entries;
            for (std::string& name : names()) entries.push_back({std::move(name), {}});
            return entries;
        };
    }
    return [] { return ListPortEntries(); };
}

} // namespace

SheetModel::SheetModel(const ConfigureValues& values, const SheetServices& services)
    : work_(values),
      parts_(work_, services.partSelected),
      help_(work_, services.storeNow),
      comms_(work_, PortsFrom(services)),
      commands_(work_),
      protection_(work_),
      // The tab stands for what the download will do: present only while
      // Protect is exactly "Yes", as the Commands page ticks it.
      protectionTab_(IsOn(values.settings.protect)) {}

const char* SheetModel::PageCaption(Page page) {
    switch (page) {
    case Page::Parts: return "Parts";
    case Page::Help: return "Help";
    case Page::Comms: return "Comms";
    case Page::Commands: return "Commands";
    case Page::Protection: return "Protection";
    }
    return "";
}

std::vector<SheetModel::Page> SheetModel::Tabs() const {
    std::vector<Page> tabs = {Page::Parts, Page::Help, Page::Comms, Page::Commands};
    if (protectionTab_) tabs.push_back(Page::Protection);
    return tabs;
}

int SheetModel::OpeningIndex() const {
    const int remembered = work_.settings.propertyPage;
    const int count = static_cast<int>(Tabs().size());
    return remembered >= 0 && remembered < count ? remembered : 0;
}

SheetModel::TabChange SheetModel::ProtectChanged(bool on) {
    if (on == protectionTab_) return TabChange::None;
    protectionTab_ = on;
    return on ? TabChange::Added : TabChange::Removed;
}

ConfigureValues SheetModel::Accept(int currentIndex) const {
    ConfigureValues out = work_;
    // In tab order, as the pages stand in the sheet.
    const SheetPageModel* const pages[] = {&parts_, &help_, &comms_, &commands_, &protection_};
    for (const SheetPageModel* page : pages) page->TakeBack(out);
    out.settings.propertyPage = currentIndex;
    return out;
}

} // namespace talvex
