#pragma once
// The configuration sheet "Configure", free of any toolkit: what each page
// shows and edits, and what OK gives back. A window draws each page from
// its model and hands the user's actions to it; the model holds the values
// read on opening, the lists and which entry is chosen, the rules for what
// a page gives back, and the Protection tab's coming and going, so that
// every window draws the same sheet.
//
// The sheet works on a copy of the values; only OK hands them back, and the
// session writes them to the settings file in the file's order
// (DownloadSession::ApplyConfiguration). A part chosen on the Parts page and
// a choice made with a Help page Browse button are in force at once.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "download_session.h"
#include "help_launcher.h"
#include "port_info.h"

namespace talvex {

// What the sheet needs besides the values it edits.
struct SheetServices {
    // The Parts page's choice takes effect at once, even on Cancel.
    std::function<void(const std::string& part)> partSelected;
    // Ports for the Comms page, probed once when the page is first shown.
    // listPortEntries is asked first, then listPorts (names only); with
    // neither the serial layer's listing with adapter descriptions is used.
    std::function<std::vector<PortEntry>()> listPortEntries;
    std::function<std::vector<std::string>()> listPorts;
    // A setting that a page stores at once (the Help page's Browse buttons):
    // section, key, value.
    StoreSetting storeNow;
    // F1 on a page: opens the configuration help page.
    std::function<void()> showHelp;
};

// What every page shares: whether it has been shown in this sheet, a
// message to show over it, and what it gives back on OK.
class SheetPageModel {
public:
    virtual ~SheetPageModel() = default;
    SheetPageModel(const SheetPageModel&) = delete;
    SheetPageModel& operator=(const SheetPageModel&) = delete;

    // The page has come to the front; the first time, it is filled first.
    void Activate();
    bool HasBeenShown() const { return shown_; }
    // The message the front end shows over the page now, once; empty when
    // there is none.
    std::string TakeMessage();

    // OK: the page's values go into out. A page never shown keeps the
    // values it was given.
    virtual void TakeBack(ConfigureValues& out) const { (void)out; }

protected:
    explicit SheetPageModel(ConfigureValues& work) : work_(work) {}
    virtual void FirstShown() {}
    virtual void BecameCurrent() {}

    ConfigureValues& work_; // the sheet's working copy
    std::string message_;

private:
    bool shown_ = false;
};

// The text of an edit box as the front end gives it back on OK. asShown:
// the box still holds what the model gave it, and the stored bytes are
// kept as they were, also where they are not valid UTF-8 and would not
// survive the round trip through a box.
struct BoxText {
    std::string text;
    bool asShown = true;
};

// "Parts": the part the board carries, from the part database, with its
// flash and kernel limits as the database writes them.
class PartsPageModel final : public SheetPageModel {
public:
    struct Limits {
        // What the page shows until a part database has been read.
        std::string romStart = "0x00080000";
        std::string romEnd = "0x00087FFF";
        std::string kernelStart = "0x0009F800";
        std::string kernelEnd = "0x0009FFFF";
    };

    PartsPageModel(ConfigureValues& work, std::function<void(const std::string&)> partSelected);

    // Sorted alphabetically, letter case deciding only between names that
    // are otherwise equal.
    const std::vector<std::string>& Names() const { return names_; }
    int Selected() const { return selected_; } // -1: none
    bool ListEnabled() const { return enabled_; }
    const Limits& Shown() const { return limits_; }

    // The user chose Names()[index]: it becomes the part at once.
    void Choose(int index);

protected:
    void FirstShown() override;

private:
    void Take(const std::string& part);
    void ReadLimits();

    std::function<void(const std::string&)> partSelected_;
    std::vector<std::string> names_;
    int selected_ = -1;
    bool enabled_ = true;
    Limits limits_;
};

// "Help": where the browser and the help pages lie.
class HelpPageModel final : public SheetPageModel {
public:
    HelpPageModel(ConfigureValues& work, StoreSetting storeNow);

    const std::string& Browser() const { return work_.browser; }
    const std::string& HelpFolder() const { return work_.helpFolder; }

    HelpBrowseRequest BrowserRequest() const { return BrowserBrowseRequest(work_.browser); }
    HelpBrowseRequest HelpFileRequest() const { return HelpFileBrowseRequest(work_.helpFolder); }
    // The file dialog's answer, empty when cancelled. A choice is stored at
    // once; whatever the answer, both boxes then show Browser() and
    // HelpFolder() again.
    void BrowserChosen(const std::string& chosenFile);
    void HelpFileChosen(const std::string& chosenFile);

    // The boxes as they stand at OK.
    void TakeBoxes(const BoxText& browser, const BoxText& helpFolder);
    void TakeBack(ConfigureValues& out) const override;

private:
    StoreSetting storeNow_;
    BoxText browserBox_;
    BoxText helpFolderBox_;
};

// One entry of the Comms page's port list.
struct PortChoice {
    std::string name;        // what OK stores and the port opens
    std::string label;       // what the list shows
    std::string description; // the adapter, shown beside the name when open
    std::string tip;         // for a pointer resting on the entry
    bool present = true;     // false: the configured port, not found now
};

// "Comms": the serial port among those present, and the baud rate.
class CommsPageModel final : public SheetPageModel {
public:
    using PortLister = std::function<std::vector<PortEntry>()>;
    CommsPageModel(ConfigureValues& work, PortLister listPorts);

    // The rates offered, in order.
    static const std::vector<std::string>& BaudRates();

    const std::vector<PortChoice>& Ports() const { return ports_; }
    int SelectedPort() const { return selectedPort_; } // -1: none
    const std::vector<std::string>& Rates() const { return rates_; }
    int SelectedRate() const { return selectedRate_; }

    // The user picked an entry, as the drop-down closed.
    void PickPort(int index);
    void PickRate(int index);

    void TakeBack(ConfigureValues& out) const override;

protected:
    void FirstShown() override;

private:
    void FillPorts();
    void FillRates();

    PortLister listPorts_;
    // The texts OK stores: what was configured, until the user picks one.
    std::string port_;
    std::string baud_;
    std::vector<PortChoice> ports_;
    int selectedPort_ = -1;
    std::vector<std::string> rates_;
    int selectedRate_ = -1;
};

// The five switches of the Commands page.
enum class FlashSwitch { MassErase, Program, Verify, Protect, Autorun };

// "Commands": what a download does to the flash, and how the target is
// started afterwards.
class CommandsPageModel final : public SheetPageModel {
public:
    explicit CommandsPageModel(ConfigureValues& work);

    // Ticked only when the download will treat the switch as on: a
    // hand-edited "yes" shows as off, because off is what it does.
    bool Ticked(FlashSwitch which) const;
    // A mass erase does nothing else: Program, Verify and Protect are
    // greyed, their marks kept for when it is cleared again.
    bool Usable(FlashSwitch which) const;
    // A click that leaves the box ticked or not. False, and nothing
    // changes, for a greyed box.
    bool Click(FlashSwitch which, bool ticked);

    bool ResetChosen() const { return reset_; }
    void ChooseReset(bool reset) { reset_ = reset; }

    void TakeBack(ConfigureValues& out) const override;

private:
    struct Switch {
        std::string text; // "Yes" or "No" once clicked; until then as configured
        bool ticked = false;
    };
    Switch& At(FlashSwitch which);
    const Switch& At(FlashSwitch which) const;

    Switch switches_[5];
    bool reset_ = false;
};

// One line of the Protection page's list.
struct ProtectionLine {
    std::string text;
    // The unit's bit (0..31) in bits 0-4, and bit 5 set when the bit lies
    // in the high half of the mask.
    std::uint32_t itemValue = 0;
    bool highlighted = false;
};

// "Protection": which flash units the chip protects, and the key. One line
// per unit of the part's protection table, one mask bit per line.
class ProtectionPageModel final : public SheetPageModel {
public:
    explicit ProtectionPageModel(ConfigureValues& work);

    // Page lines first, then named lines, each highlighted from the saved
    // mask whenever the page comes to the front.
    const std::vector<ProtectionLine>& Lines() const { return lines_; }
    // What the user highlighted, one flag per line; a shorter list clears
    // the rest.
    void SetHighlights(const std::vector<bool>& highlighted);
    void HighlightAll();
    void HighlightNone();
    // The mask the highlighted lines stand for.
    std::uint64_t MaskFromHighlights() const;

    // What the key box shows when the page is first shown.
    const std::string& Key() const { return work_.settings.key0; }
    void TakeKeyBox(const BoxText& key) { keyBox_ = key; }

    void TakeBack(ConfigureValues& out) const override;

protected:
    void FirstShown() override;
    void BecameCurrent() override;

private:
    std::vector<ProtectionLine> lines_;
    BoxText keyBox_;
};

// The sheet: its pages in tab order, the page it opens on, and OK.
class SheetModel {
public:
    // Parts, Help, Comms, Commands and, while Protect is on, Protection.
    enum class Page { Parts, Help, Comms, Commands, Protection };
    static constexpr int kProtectionIndex = 4;
    enum class TabChange { None, Added, Removed };

    SheetModel(const ConfigureValues& values, const SheetServices& services);
    SheetModel(const SheetModel&) = delete;
    SheetModel& operator=(const SheetModel&) = delete;

    static const char* Caption() { return "Configure"; }
    static const char* PageCaption(Page page);

    // The tabs present, in order.
    std::vector<Page> Tabs() const;
    // The remembered page when it is present, else the first.
    int OpeningIndex() const;

    // Protect was ticked (on) or cleared. Added: the Protection tab goes in
    // at kProtectionIndex and comes to the front at once.
    TabChange ProtectChanged(bool on);

    // OK with the tab at currentIndex in front: every value the pages give
    // back, with that tab as the remembered page.
    ConfigureValues Accept(int currentIndex) const;

    PartsPageModel& Parts() { return parts_; }
    HelpPageModel& Help() { return help_; }
    CommsPageModel& Comms() { return comms_; }
    CommandsPageModel& Commands() { return commands_; }
    ProtectionPageModel& Protection() { return protection_; }

private:
    ConfigureValues work_; // what the pages edit; first, as they refer to it
    PartsPageModel parts_;
    HelpPageModel help_;
    CommsPageModel comms_;
    CommandsPageModel commands_;
    ProtectionPageModel protection_;
    bool protectionTab_;
};

} // namespace talvex
