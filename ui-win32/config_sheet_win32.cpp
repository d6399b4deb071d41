#include "config_sheet.h"

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "file_dialog.h"
#include "resource_ids.h"
#include "system_error_text.h"
#include "utf16_win32.h"

namespace talvex::win32 {
namespace {

using Page = SheetModel::Page;

// A page's message, posted to itself so that it is shown over the sheet
// once the sheet is up: the page that the sheet opens on is activated
// while the sheet is still being made, before it can be seen.
constexpr UINT kShowPageMessage = WM_APP + 1;
// IDC_WAIT, which the headers give only in the narrow form without UNICODE.
const wchar_t* const kWaitCursor = MAKEINTRESOURCEW(32514);

std::wstring WindowText(HWND hwnd) {
    const int length = GetWindowTextLengthW(hwnd);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

// A font this sheet made, deleted with it.
class OwnedFont {
public:
    OwnedFont() = default;
    ~OwnedFont() { Reset(nullptr); }
    OwnedFont(const OwnedFont&) = delete;
    OwnedFont& operator=(const OwnedFont&) = delete;
    void Reset(HFONT font) {
        if (font_ != nullptr) DeleteObject(font_);
        font_ = font;
    }
    HFONT Get() const { return font_; }

private:
    HFONT font_ = nullptr;
};

// An edit box, the text the page last put into it and the text it held
// when its page was last left, so that the model can tell a box left as
// it was from one the user typed into, and a page that the sheet takes
// down and makes again (the Protection page) shows what its box held.
class DrawnBox {
public:
    explicit DrawnBox(int id) : id_(id) {}
    void Show(HWND page, const std::string& text) {
        shown_ = WideFromUtf8(text);
        held_ = shown_;
        drawn_ = true;
        SetDlgItemTextW(page, id_, shown_.c_str());
    }
    // A page made again: its box as it was left.
    void Restore(HWND page) const { SetDlgItemTextW(page, id_, held_.c_str()); }
    void Keep(HWND page) {
        if (const HWND box = GetDlgItem(page, id_)) held_ = WindowText(box);
    }
    bool Drawn() const { return drawn_; }
    BoxText Taken() const { return {Utf8FromWide(held_), held_ == shown_}; }

private:
    int id_;
    std::wstring shown_;
    std::wstring held_;
    bool drawn_ = false;
};

struct SwitchControl {
    FlashSwitch which;
    int id;
};
constexpr std::array<SwitchControl, 5> kSwitches = {{
    {FlashSwitch::MassErase, TALVEX_MASS_ERASE_CHECK},
    {FlashSwitch::Program, TALVEX_PROGRAM_CHECK},
    {FlashSwitch::Verify, TALVEX_VERIFY_CHECK},
    {FlashSwitch::Protect, TALVEX_PROTECT_CHECK},
    {FlashSwitch::Autorun, TALVEX_AUTORUN_CHECK},
}};

int Template(Page page) {
    switch (page) {
    case Page::Parts: return TALVEX_PARTS_PAGE;
    case Page::Help: return TALVEX_HELP_PAGE;
    case Page::Comms: return TALVEX_COMMS_PAGE;
    case Page::Commands: return TALVEX_COMMANDS_PAGE;
    case Page::Protection: return TALVEX_PROTECTION_PAGE;
    }
    return TALVEX_PARTS_PAGE;
}

void FillCombo(HWND list, const std::vector<std::string>& texts, int selected) {
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const std::string& text : texts) {
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideFromUtf8(text).c_str()));
    }
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

// The user chose an entry: with the mouse or Enter in the open list, or
// with the arrow keys in the closed one. Moving through the open list is
// not yet a choice, and Esc there takes it back.
bool ChoiceMade(HWND list, int code) {
    if (code == CBN_SELENDOK) return true;
    return code == CBN_SELCHANGE && SendMessageW(list, CB_GETDROPPEDSTATE, 0, 0) == FALSE;
}

int CurrentEntry(HWND list) { return static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0)); }

class Sheet;

struct PageContext {
    Sheet* sheet;
    Page page;
};

INT_PTR CALLBACK PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

class Sheet {
public:
    Sheet(const ConfigureValues& values, const SheetServices& services)
        : model_(values, services), showHelp_(services.showHelp) {
        for (std::size_t i = 0; i < contexts_.size(); ++i)
            contexts_[i] = {this, static_cast<Page>(i)};
    }

    SheetOutcome Run(HWND owner, ConfigureValues& values, std::string& problem) {
        std::vector<HPROPSHEETPAGE> pages;
        for (Page page : model_.Tabs()) {
            const HPROPSHEETPAGE made = MakePage(page);
            if (made == nullptr) {
                problem = "its page \"" + std::string(SheetModel::PageCaption(page)) +
                          "\" cannot be made: " + SystemErrorText(GetLastError());
                for (HPROPSHEETPAGE done : pages) DestroyPropertySheetPage(done);
                return SheetOutcome::Failed;
            }
            pages.push_back(made);
        }
        const std::wstring caption = WideFromUtf8(SheetModel::Caption());
        PROPSHEETHEADERW header{};
        header.dwSize = sizeof header;
        // OK and Cancel only: no Apply, no Help button, no "?" box.
        header.dwFlags = PSH_NOAPPLYNOW | PSH_NOCONTEXTHELP;
        header.hwndParent = owner;
        header.hInstance = GetModuleHandleW(nullptr);
        header.pszCaption = caption.c_str();
        header.nPages = static_cast<UINT>(pages.size());
        header.nStartPage = static_cast<UINT>(model_.OpeningIndex());
        header.phpage = pages.data();
        const INT_PTR result = PropertySheetW(&header);
        if (result < 0) {
            problem = SystemErrorText(GetLastError());
            return SheetOutcome::Failed;
        }
        if (result == 0 || acceptedIndex_ < 0) return SheetOutcome::Cancelled;
        // The pages are gone by now; their boxes were kept as they closed.
        model_.Help().TakeBoxes(browser_.Taken(), helpFolder_.Taken());
        model_.Protection().TakeKeyBox(key_.Taken());
        values = model_.Accept(acceptedIndex_);
        return SheetOutcome::Accepted;
    }

    INT_PTR Message(Page page, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
        case WM_INITDIALOG: Made(page, hwnd); return TRUE;
        case WM_NOTIFY: return Notified(page, hwnd, *reinterpret_cast<const NMHDR*>(lParam));
        case WM_COMMAND:
            Command(page, hwnd, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
            return TRUE;
        case WM_HELP:
            // F1 within a page; on the tabs or the buttons it is nobody's.
            if (showHelp_) showHelp_();
            SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        case kShowPageMessage: ShowPendingMessage(hwnd); return TRUE;
        case WM_DESTROY: KeepBoxes(page, hwnd); return FALSE;
        }
        return FALSE;
    }

private:
    HPROPSHEETPAGE MakePage(Page page) {
        PROPSHEETPAGEW sheetPage{};
        sheetPage.dwSize = sizeof sheetPage;
        sheetPage.hInstance = GetModuleHandleW(nullptr);
        sheetPage.pszTemplate = MAKEINTRESOURCEW(Template(page));
        sheetPage.pfnDlgProc = PageProc;
        sheetPage.lParam = reinterpret_cast<LPARAM>(&contexts_[static_cast<std::size_t>(page)]);
        return CreatePropertySheetPageW(&sheetPage);
    }

    SheetPageModel& ModelOf(Page page) {
        switch (page) {
        case Page::Parts: return model_.Parts();
        case Page::Help: return model_.Help();
        case Page::Comms: return model_.Comms();
        case Page::Commands: return model_.Commands();
        case Page::Protection: return model_.Protection();
        }
        return model_.Parts();
    }

    // The page's controls exist: the boxes get their text, the one time.
    void Made(Page page, HWND hwnd) {
        if (page == Page::Help) {
            RefillHelpBoxes(hwnd);
        } else if (page == Page::Protection) {
            const HWND list = GetDlgItem(hwnd, TALVEX_UNIT_LIST);
            if (listFont_.Get() == nullptr) listFont_.Reset(ProtectionListFont(list));
            if (listFont_.Get() != nullptr)
                SendMessageW(list, WM_SETFONT, reinterpret_cast<WPARAM>(listFont_.Get()), FALSE);
            if (key_.Drawn())
                key_.Restore(hwnd);
            else
                key_.Show(hwnd, model_.Protection().Key());
        }
    }

    // Fixed pitch, 24/160 of the screen's pixels per inch high and half as
    // wide: 14 by 7 pixels at 96 dpi.
    static HFONT ProtectionListFont(HWND list) {
        int dpi = 96;
        if (const HDC dc = GetDC(list)) {
            dpi = GetDeviceCaps(dc, LOGPIXELSX);
            ReleaseDC(list, dc);
        }
        const int height = MulDiv(24, dpi, 160);
        return CreateFontW(-height, height / 2, 0, 0, FW_MEDIUM, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, nullptr);
    }

    INT_PTR Notified(Page page, HWND hwnd, const NMHDR& notice) {
        LONG_PTR answer = 0;
        switch (notice.code) {
        case PSN_SETACTIVE: Activated(page, hwnd); break;
        case PSN_KILLACTIVE: KeepBoxes(page, hwnd); break;
        case PSN_APPLY:
            // Every page made hears of OK; the first one notes the tab in
            // front, which becomes the remembered page.
            KeepBoxes(page, hwnd);
            if (acceptedIndex_ < 0) {
                const HWND tabs = PropSheet_GetTabControl(GetParent(hwnd));
                acceptedIndex_ = std::max(0, TabCtrl_GetCurSel(tabs));
            }
            answer = PSNRET_NOERROR;
            break;
        default: return FALSE;
        }
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, answer);
        return TRUE;
    }

    void Activated(Page page, HWND hwnd) {
        SheetPageModel& model = ModelOf(page);
        const bool slow = page == Page::Comms && !model.HasBeenShown();
        // Probing the ports can take a moment.
        const HCURSOR before = slow ? SetCursor(LoadCursorW(nullptr, kWaitCursor)) : nullptr;
        model.Activate();
        if (slow) SetCursor(before);
        Redraw(page, hwnd);
        pending_ = model.TakeMessage();
        if (!pending_.empty()) PostMessageW(hwnd, kShowPageMessage, 0, 0);
    }

    void ShowPendingMessage(HWND hwnd) {
        std::string text;
        text.swap(pending_);
        if (text.empty()) return;
        MessageBoxW(GetParent(hwnd), WideFromUtf8(text).c_str(), L"TALVEX", MB_OK);
    }

    void KeepBoxes(Page page, HWND hwnd) {
        if (page == Page::Help) {
            browser_.Keep(hwnd);
            helpFolder_.Keep(hwnd);
        } else if (page == Page::Protection) {
            key_.Keep(hwnd);
        }
    }

    void Redraw(Page page, HWND hwnd) {
        switch (page) {
        case Page::Parts: {
            PartsPageModel& parts = model_.Parts();
            const HWND list = GetDlgItem(hwnd, TALVEX_PART_LIST);
            FillCombo(list, parts.Names(), parts.Selected());
            EnableWindow(list, parts.ListEnabled());
            DrawLimits(hwnd);
            break;
        }
        case Page::Help: break; // the boxes keep what was typed
        case Page::Comms: {
            CommsPageModel& comms = model_.Comms();
            std::vector<std::string> labels;
            for (const PortChoice& port : comms.Ports()) labels.push_back(port.label);
            FillCombo(GetDlgItem(hwnd, TALVEX_PORT_LIST), labels, comms.SelectedPort());
            FillCombo(GetDlgItem(hwnd, TALVEX_BAUD_LIST), comms.Rates(), comms.SelectedRate());
            break;
        }
        case Page::Commands: DrawCommands(hwnd); break;
        case Page::Protection: DrawLines(hwnd); break;
        }
    }

    void DrawLimits(HWND hwnd) {
        const PartsPageModel::Limits& limits = model_.Parts().Shown();
        SetDlgItemTextW(hwnd, TALVEX_ROM_START_VALUE, WideFromUtf8(limits.romStart).c_str());
        SetDlgItemTextW(hwnd, TALVEX_ROM_END_VALUE, WideFromUtf8(limits.romEnd).c_str());
        SetDlgItemTextW(hwnd, TALVEX_KERNEL_START_VALUE, WideFromUtf8(limits.kernelStart).c_str());
        SetDlgItemTextW(hwnd, TALVEX_KERNEL_END_VALUE, WideFromUtf8(limits.kernelEnd).c_str());
    }

    void DrawCommands(HWND hwnd) {
        const CommandsPageModel& commands = model_.Commands();
        for (const SwitchControl& control : kSwitches) {
            CheckDlgButton(hwnd, control.id,
                           commands.Ticked(control.which) ? BST_CHECKED : BST_UNCHECKED);
            EnableWindow(GetDlgItem(hwnd, control.id), commands.Usable(control.which));
        }
        CheckRadioButton(hwnd, TALVEX_RUN_RADIO, TALVEX_RESET_RADIO,
                         commands.ResetChosen() ? TALVEX_RESET_RADIO : TALVEX_RUN_RADIO);
    }

    void DrawLines(HWND hwnd) {
        const HWND list = GetDlgItem(hwnd, TALVEX_UNIT_LIST);
        SendMessageW(list, WM_SETREDRAW, FALSE, 0);
        SendMessageW(list, LB_RESETCONTENT, 0, 0);
        for (const ProtectionLine& line : model_.Protection().Lines()) {
            const LRESULT at = SendMessageW(
                list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideFromUtf8(line.text).c_str()));
            if (at < 0) continue;
            SendMessageW(list, LB_SETITEMDATA, static_cast<WPARAM>(at), line.itemValue);
        }
        SendMessageW(list, WM_SETREDRAW, TRUE, 0);
        DrawHighlights(hwnd);
    }

    void DrawHighlights(HWND hwnd) {
        const HWND list = GetDlgItem(hwnd, TALVEX_UNIT_LIST);
        const std::vector<ProtectionLine>& lines = model_.Protection().Lines();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            SendMessageW(list, LB_SETSEL, lines[i].highlighted ? TRUE : FALSE,
                         static_cast<LPARAM>(i));
        }
        InvalidateRect(list, nullptr, TRUE);
    }

    void TakeHighlights(HWND hwnd) {
        const HWND list = GetDlgItem(hwnd, TALVEX_UNIT_LIST);
        const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
        std::vector<bool> highlighted;
        highlighted.reserve(static_cast<std::size_t>(std::max(0, count)));
        for (int i = 0; i < count; ++i)
            highlighted.push_back(SendMessageW(list, LB_GETSEL, static_cast<WPARAM>(i), 0) > 0);
        model_.Protection().SetHighlights(highlighted);
    }

    void RefillHelpBoxes(HWND hwnd) {
        // Whatever a Browse button's outcome, both boxes show the model's
        // values again: text typed since is replaced.
        browser_.Show(hwnd, model_.Help().Browser());
        helpFolder_.Show(hwnd, model_.Help().HelpFolder());
    }

    void Command(Page page, HWND hwnd, int id, int code, HWND control) {
        switch (id) {
        case TALVEX_PART_LIST:
            if (ChoiceMade(control, code)) {
                model_.Parts().Choose(CurrentEntry(control));
                DrawLimits(hwnd);
            }
            return;
        case TALVEX_PORT_LIST:
            if (ChoiceMade(control, code)) model_.Comms().PickPort(CurrentEntry(control));
            return;
        case TALVEX_BAUD_LIST:
            if (ChoiceMade(control, code)) model_.Comms().PickRate(CurrentEntry(control));
            return;
        case TALVEX_UNIT_LIST:
            if (code == LBN_SELCHANGE) TakeHighlights(hwnd);
            return;
        }
        if (code != BN_CLICKED) return;
        switch (id) {
        case TALVEX_BROWSE_BROWSER_BUTTON:
            model_.Help().BrowserChosen(AskOpenFileName(hwnd, model_.Help().BrowserRequest()));
            RefillHelpBoxes(hwnd);
            return;
        case TALVEX_BROWSE_HELP_BUTTON:
            model_.Help().HelpFileChosen(AskOpenFileName(hwnd, model_.Help().HelpFileRequest()));
            RefillHelpBoxes(hwnd);
            return;
        case TALVEX_RUN_RADIO:
        case TALVEX_RESET_RADIO:
            model_.Commands().ChooseReset(id == TALVEX_RESET_RADIO);
            DrawCommands(hwnd);
            return;
        case TALVEX_ALL_BUTTON:
            model_.Protection().HighlightAll();
            DrawHighlights(hwnd);
            return;
        case TALVEX_NONE_BUTTON:
            model_.Protection().HighlightNone();
            DrawHighlights(hwnd);
            return;
        }
        for (const SwitchControl& sw : kSwitches) {
            if (sw.id != id || page != Page::Commands) continue;
            const bool ticked = IsDlgButtonChecked(hwnd, id) == BST_CHECKED;
            const bool taken = model_.Commands().Click(sw.which, ticked);
            DrawCommands(hwnd);
            if (taken && sw.which == FlashSwitch::Protect) ProtectChanged(GetParent(hwnd), ticked);
        }
    }

    void ProtectChanged(HWND sheet, bool on) {
        switch (model_.ProtectChanged(on)) {
        case SheetModel::TabChange::Added:
            if (const HPROPSHEETPAGE page = MakePage(Page::Protection)) {
                PropSheet_AddPage(sheet, page);
                PropSheet_SetCurSel(sheet, nullptr, SheetModel::kProtectionIndex);
            }
            break;
        case SheetModel::TabChange::Removed:
            PropSheet_RemovePage(sheet, SheetModel::kProtectionIndex, nullptr);
            break;
        case SheetModel::TabChange::None: break;
        }
    }

    SheetModel model_;
    std::function<void()> showHelp_;
    std::array<PageContext, 5> contexts_{};
    DrawnBox browser_{TALVEX_BROWSER_BOX};
    DrawnBox helpFolder_{TALVEX_HELP_PATH_BOX};
    DrawnBox key_{TALVEX_KEY_BOX};
    OwnedFont listFont_;
    std::string pending_;
    int acceptedIndex_ = -1;
};

INT_PTR CALLBACK PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
    }
    auto* context = reinterpret_cast<PageContext*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (context == nullptr) return FALSE;
    return context->sheet->Message(context->page, hwnd, message, wParam, lParam);
}

} // namespace

SheetOutcome RunConfigureSheet(void* owner, ConfigureValues& values, const SheetServices& services,
                               std::string& problem) {
    Sheet sheet(values, services);
    return sheet.Run(static_cast<HWND>(owner), values, problem);
}

} // namespace talvex::win32
