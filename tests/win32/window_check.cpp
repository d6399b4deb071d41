// talvex.exe driven as a user would, from outside its process: run under
// Wine with an X display and a zarq-sim on the COM port
// (tools/wine-check.sh). Finds the dialog, reads its controls by id, presses
// buttons with BM_CLICK, and takes screenshots as PNG files.
//
//   talvex-win32-window-check flash   TALVEX_EXE SHOTS_DIR ARGS...
//     (also opens the configuration sheet, shows every page, changes the
//     baud rate to 19200 and presses OK)
//   talvex-win32-window-check close   TALVEX_EXE PORT ARGS...
//   talvex-win32-window-check failure TALVEX_EXE SHOTS_DIR ARGS...
//   talvex-win32-window-check interrupt TALVEX_EXE PORT ARGS...
//
// ARGS go to talvex.exe. Each check prints "ok   NAME" or "FAIL NAME: why";
// the exit code is the number of failures (GoogleTest is not there for the
// cross build).

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "resource_ids.h"
#include "unique_handle.h"
#include "utf16_win32.h"

using namespace talvex;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

int g_failures = 0;

void Report(const std::string& name, const std::string& problem) {
    if (problem.empty()) {
        std::printf("ok   %s\n", name.c_str());
    } else {
        std::printf("FAIL %s: %s\n", name.c_str(), problem.c_str());
        ++g_failures;
    }
    std::fflush(stdout);
}

// Polls until ready() holds or the time is up.
bool WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!ready()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// talvex.exe started with the given arguments, in this program's folder.
struct Program {
    UniqueHandle process;
    DWORD id = 0;
};

Program Launch(const std::string& exe, const std::vector<std::string>& args) {
    std::wstring line = L"\"" + WideFromUtf8(exe) + L"\"";
    for (const std::string& arg : args) line += L" " + WideFromUtf8(arg);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    Program program;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                       &pi)) {
        CloseHandle(pi.hThread);
        program.process = UniqueHandle(pi.hProcess);
        program.id = pi.dwProcessId;
    }
    return program;
}

bool Ended(const Program& program, DWORD waitMs = 0) {
    return WaitForSingleObject(program.process.Get(), waitMs) == WAIT_OBJECT_0;
}

long ExitCodeOf(const Program& program) {
    DWORD code = 0;
    GetExitCodeProcess(program.process.Get(), &code);
    return static_cast<long>(static_cast<std::int32_t>(code));
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// The control's own text, asked of it: GetWindowText does not ask a window
// of another process.
std::string TextOf(HWND hwnd) {
    const LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return Utf8FromWide(text);
}

// A visible dialog of the process; with owner, one that window owns.
HWND FindDialog(DWORD processId, HWND owner) {
    struct Search {
        DWORD processId;
        HWND owner;
        HWND found;
    } search{processId, owner, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD pid = 0;
            GetWindowThreadProcessId(hwnd, &pid);
            if (pid != s->processId || !IsWindowVisible(hwnd) || ClassOf(hwnd) != L"#32770") {
                return TRUE;
            }
            const bool isMain = GetDlgItem(hwnd, TALVEX_START_BUTTON) != nullptr;
            if (s->owner == nullptr ? isMain : GetWindow(hwnd, GW_OWNER) == s->owner) {
                s->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<std::string> Rows(HWND dialog) {
    const HWND list = GetDlgItem(dialog, TALVEX_STATUS_LIST);
    std::vector<std::string> rows;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length < 0) break;
        std::wstring row(static_cast<std::size_t>(length) + 1, L'\0');
        const LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i),
                                         reinterpret_cast<LPARAM>(row.data()));
        row.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
        rows.push_back(Utf8FromWide(row));
    }
    return rows;
}

bool HasRow(HWND dialog, const std::string& prefix) {
    for (const std::string& row : Rows(dialog)) {
        if (row.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

void Click(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }

// --- Screenshots --------------------------------------------------------------

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Chunk(std::vector<std::uint8_t>& png, const char* type,
           const std::vector<std::uint8_t>& data) {
    PutBig32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    PutBig32(png, Crc32(png.data() + start, png.size() - start));
}

// RGB rows top-down as a PNG, the pixels in stored (uncompressed) deflate
// blocks: larger files, but no library.
bool WritePng(const std::string& path, int width, int height,
              const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0); // no filter
        const auto row = rgb.begin() + static_cast<std::ptrdiff_t>(y) * width * 3;
        raw.insert(raw.end(), row, row + width * 3);
    }
    std::vector<std::uint8_t> z{0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size() || at == 0;) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        const bool last = at + n >= raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<std::uint8_t>(n & 0xFF));
        z.push_back(static_cast<std::uint8_t>(n >> 8));
        z.push_back(static_cast<std::uint8_t>(~n & 0xFF));
        z.push_back(static_cast<std::uint8_t>((~n >> 8) & 0xFF));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                 raw.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        if (last) break;
    }
    PutBig32(z, (b << 16) | a);

    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    PutBig32(header, static_cast<std::uint32_t>(width));
    PutBig32(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});

    const HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    UniqueHandle owned(file);
    return owned.Valid() &&
           WriteAll(owned.Get(),
                    std::string_view(reinterpret_cast<const char*>(png.data()), png.size()));
}

// What the screen shows where the window is, brought to the front first.
std::string Screenshot(HWND hwnd, const std::string& path) {
    SetForegroundWindow(hwnd);
    BringWindowToTop(hwnd);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::this_thread::sleep_for(300ms);
    RECT rect;
    if (!GetWindowRect(hwnd, &rect)) return "no window to take";
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return "the window has no size";
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::string problem;
    if (bitmap == nullptr || bits == nullptr) {
        problem = "no bitmap";
    } else {
        const HGDIOBJ old = SelectObject(memory, bitmap);
        if (!BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
            problem = "the screen could not be copied";
        }
        SelectObject(memory, old);
        std::vector<std::uint8_t> rgb;
        rgb.reserve(static_cast<std::size_t>(width) * height * 3);
        const auto* pixel = static_cast<const std::uint8_t*>(bits);
        for (int i = 0; i < width * height; ++i, pixel += 4) {
            rgb.insert(rgb.end(), {pixel[2], pixel[1], pixel[0]});
        }
        if (problem.empty() && !WritePng(path, width, height, rgb))
            problem = "cannot write " + path;
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return problem;
}

// --- The checks ---------------------------------------------------------------

struct Session {
    Program program;
    HWND dialog = nullptr;
};

// Starts talvex.exe and finds its window, reporting when it does not come.
bool Open(Session& s, const std::string& exe, const std::vector<std::string>& args) {
    s.program = Launch(exe, args);
    if (!s.program.process.Valid()) {
        Report("talvex.exe starts", "CreateProcess failed with " + std::to_string(GetLastError()));
        return false;
    }
    WaitFor(
        [&] {
            return (s.dialog = FindDialog(s.program.id, nullptr)) != nullptr || Ended(s.program);
        },
        30s);
    if (s.dialog == nullptr) {
        Report("the main dialog opens",
               Ended(s.program) ? "talvex.exe ended with " + std::to_string(ExitCodeOf(s.program))
                                : "no dialog within 30 s");
        return false;
    }
    return true;
}

void Finish(Session& s) {
    if (!Ended(s.program, 0)) TerminateProcess(s.program.process.Get(), 99);
}

// --- The configuration sheet -------------------------------------------------

HWND CurrentPage(HWND sheet) {
    return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

int TabCount(HWND sheet) {
    const auto tabs = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    return static_cast<int>(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0));
}

std::string ComboEntry(HWND list, int index) {
    const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length < 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return Utf8FromWide(text);
}

// A page of the sheet: its tab caption and a control only it has.
struct SheetPage {
    const char* caption;
    int control;
};

bool ShowsPage(HWND sheet, const SheetPage& page) {
    const HWND current = CurrentPage(sheet);
    return current != nullptr && GetDlgItem(current, page.control) != nullptr;
}

// Presses F1 on control as the keyboard does, the control given the
// focus first; the status line of dialog that follows within limit, or
// nothing.
std::optional<std::string> F1Line(HWND control, HWND dialog, std::chrono::milliseconds limit) {
    const std::size_t before = Rows(dialog).size();
    const HWND top = GetAncestor(control, GA_ROOT);
    SetForegroundWindow(top);
    SendMessageW(top, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    std::this_thread::sleep_for(200ms);
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_F1;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof keys[0]);
    if (!WaitFor([&] { return Rows(dialog).size() > before; }, limit)) return std::nullopt;
    return Rows(dialog).back();
}

// Empty when F1 on control gives a status line that names the page.
std::string HelpAskedFor(HWND control, HWND dialog, const std::string& page) {
    const std::optional<std::string> line = F1Line(control, dialog, 5s);
    if (!line) return "no status line";
    return line->find(page) != std::string::npos ? "" : "the line reads \"" + *line + "\"";
}

// Configure opens the sheet; every page is brought to the front and taken,
// Protect adds and removes the Protection tab, the baud rate is changed on
// the Comms page, and OK stores it (the settings file is read by the
// script afterwards).
void CheckSheet(Session& s, HWND d, const std::string& shots) {
    Report("F1 in the main window asks for its help page QV_P.html",
           HelpAskedFor(GetDlgItem(d, TALVEX_FILE_BOX), d, "QV_P.html"));
    Click(d, TALVEX_CONFIGURE_BUTTON);
    HWND sheet = nullptr;
    WaitFor([&] { return (sheet = FindDialog(s.program.id, d)) != nullptr; }, 10s);
    if (sheet == nullptr) {
        Report("Configure opens the sheet", "no sheet within 10 s");
        return;
    }
    Report("Configure opens the sheet \"Configure\" with its four tabs",
           TextOf(sheet) != "Configure" ? "title \"" + TextOf(sheet) + "\""
           : TabCount(sheet) != 4       ? std::to_string(TabCount(sheet)) + " tabs"
                                        : "");

    const SheetPage pages[] = {{"Parts", TALVEX_PART_LIST},
                               {"Help", TALVEX_BROWSER_BOX},
                               {"Comms", TALVEX_BAUD_LIST},
                               {"Commands", TALVEX_PROTECT_CHECK},
                               {"Protection", TALVEX_UNIT_LIST}};
    std::string problem;
    for (int i = 0; i < 4; ++i) {
        SendMessageW(sheet, PSM_SETCURSEL, static_cast<WPARAM>(i), 0);
        if (!WaitFor([&] { return ShowsPage(sheet, pages[i]); }, 5s)) {
            problem += std::string(problem.empty() ? "" : "; ") + "tab " + std::to_string(i) +
                       " is not \"" + pages[i].caption + "\"";
            continue;
        }
        const std::string shot = Screenshot(sheet, shots + "\\sheet-" + pages[i].caption + ".png");
        if (!shot.empty()) problem += std::string(problem.empty() ? "" : "; ") + shot;
    }
    Report("tabs Parts, Help, Comms and Commands in that order, each taken as a screenshot",
           problem);

    // F1 on a page asks for the sheet's help page, on the tabs for none.
    // The settings name a browser and a help folder that do not exist, so
    // nothing starts and the status list says which page was asked for.
    SendMessageW(sheet, PSM_SETCURSEL, 1, 0);
    WaitFor([&] { return ShowsPage(sheet, pages[1]); }, 5s);
    Report("F1 on a page asks for the configuration help page QVC_B.html",
           HelpAskedFor(GetDlgItem(CurrentPage(sheet), TALVEX_BROWSER_BOX), d, "QVC_B.html"));
    const auto tabs = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    const std::optional<std::string> onTabs = F1Line(tabs, d, 1500ms);
    Report("F1 on the sheet's tabs asks for no help page",
           onTabs ? "a status line: \"" + *onTabs + "\"" : "");

    // Protect on: the Protection tab comes as the fifth and to the front.
    SendMessageW(sheet, PSM_SETCURSEL, 3, 0);
    WaitFor([&] { return ShowsPage(sheet, pages[3]); }, 5s);
    PostMessageW(GetDlgItem(CurrentPage(sheet), TALVEX_PROTECT_CHECK), BM_CLICK, 0, 0);
    const bool added =
        WaitFor([&] { return TabCount(sheet) == 5 && ShowsPage(sheet, pages[4]); }, 5s);
    problem.clear();
    if (!added) {
        problem = std::to_string(TabCount(sheet)) + " tabs, Protection not in front";
    } else {
        const HWND units = GetDlgItem(CurrentPage(sheet), TALVEX_UNIT_LIST);
        const LRESULT lines = SendMessageW(units, LB_GETCOUNT, 0, 0);
        if (lines <= 0) problem = "the unit list is empty";
        const std::string shot = Screenshot(sheet, shots + "\\sheet-Protection.png");
        if (problem.empty()) problem = shot;
    }
    Report("Protect adds the Protection tab as the fifth and brings it to the front", problem);
    SendMessageW(sheet, PSM_SETCURSEL, 3, 0);
    WaitFor([&] { return ShowsPage(sheet, pages[3]); }, 5s);
    PostMessageW(GetDlgItem(CurrentPage(sheet), TALVEX_PROTECT_CHECK), BM_CLICK, 0, 0);
    Report("clearing Protect takes the Protection tab away",
           WaitFor([&] { return TabCount(sheet) == 4; }, 5s)
               ? ""
               : std::to_string(TabCount(sheet)) + " tabs");

    // The baud rate chosen as a user does: the entry selected, then the
    // list's own notice that the choice is made.
    SendMessageW(sheet, PSM_SETCURSEL, 2, 0);
    WaitFor([&] { return ShowsPage(sheet, pages[2]); }, 5s);
    const HWND comms = CurrentPage(sheet);
    const HWND rates = GetDlgItem(comms, TALVEX_BAUD_LIST);
    const int count = static_cast<int>(SendMessageW(rates, CB_GETCOUNT, 0, 0));
    std::vector<std::string> offered;
    for (int i = 0; i < count; ++i) offered.push_back(ComboEntry(rates, i));
    const std::vector<std::string> expected = {"300",  "600",   "1200",  "2400",   "4800",
                                               "9600", "19200", "38400", "115200", "230400"};
    problem.clear();
    if (offered != expected) {
        problem = "rates:";
        for (const auto& rate : offered) problem += " " + rate;
    }
    Report("the Comms page offers the ten rates from 300 to 230400", problem);
    const auto at = std::find(offered.begin(), offered.end(), "19200");
    if (at != offered.end()) {
        SendMessageW(rates, CB_SETCURSEL, static_cast<WPARAM>(at - offered.begin()), 0);
        SendMessageW(comms, WM_COMMAND, MAKEWPARAM(TALVEX_BAUD_LIST, CBN_SELENDOK),
                     reinterpret_cast<LPARAM>(rates));
    }
    const std::size_t before = Rows(d).size();
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    const bool closed = WaitFor([&] { return !IsWindow(sheet); }, 10s);
    WaitFor([&] { return Rows(d).size() > before; }, 5s);
    const std::vector<std::string> after = Rows(d);
    const std::string line = "    Connect test board to PC COM1 at 19200 Baud. Click Start.";
    problem = !closed ? "the sheet is still open"
              : after.size() != before + 1 || after.back() != line
                  ? "rows went from " + std::to_string(before) + " to " +
                        std::to_string(after.size()) +
                        (after.empty() ? "" : ", last [" + after.back() + "]")
              : Enabled(d, TALVEX_RUN_RESET_BUTTON) ? "Run/Reset is still enabled"
                                                    : "";
    Report("OK closes the sheet, names the new rate in one status line and disables Run/Reset",
           problem);
}

int Flash(const std::string& exe, const std::string& shots, const std::vector<std::string>& args) {
    Session s;
    if (!Open(s, exe, args)) return 1;
    const HWND d = s.dialog;
    WaitFor([&] { return Rows(d).size() >= 2; }, 5s);

    std::string problem;
    const struct {
        int id;
        const char* cls;
        const char* text;
        bool enabled;
    } controls[] = {
        {TALVEX_EXIT_BUTTON, "Button", "&Exit", true},
        {TALVEX_START_BUTTON, "Button", "&Start", true},
        {TALVEX_RUN_RESET_BUTTON, "Button", "Run", false},
        {TALVEX_BROWSE_BUTTON, "Button", "&Browse...", true},
        {TALVEX_CONFIGURE_BUTTON, "Button", "&Configure...", true},
        {TALVEX_STATUS_LIST, "ListBox", nullptr, true},
        {TALVEX_FILE_BOX, "Edit", nullptr, true},
        {TALVEX_PROGRESS_BAR, "msctls_progress32", "", true},
    };
    for (const auto& c : controls) {
        const HWND control = GetDlgItem(d, c.id);
        if (control == nullptr) {
            problem = "no control " + std::to_string(c.id);
            break;
        }
        if (Utf8FromWide(ClassOf(control)) != c.cls) {
            problem = std::to_string(c.id) + " is a " + Utf8FromWide(ClassOf(control));
        } else if (c.text != nullptr && TextOf(control) != c.text) {
            problem = std::to_string(c.id) + " reads \"" + TextOf(control) + "\"";
        } else if (Enabled(d, c.id) != c.enabled) {
            problem = std::to_string(c.id) + (c.enabled ? " is disabled" : " is enabled");
        }
        if (!problem.empty()) break;
    }
    if (problem.empty() && TextOf(d) != "TALVEX") problem = "title \"" + TextOf(d) + "\"";
    Report("the dialog's controls by id, captions and states at opening", problem);

    const std::vector<std::string> opening = Rows(d);
    problem.clear();
    if (opening.size() != 2 || opening[0].rfind("    Connect test board to PC COM1 at ", 0) != 0 ||
        opening[1] != "    Click Start.") {
        problem = "rows:";
        for (const auto& row : opening) problem += " [" + row + "]";
    }
    Report("the two opening lines", problem);
    const std::string fileBox = TextOf(GetDlgItem(d, TALVEX_FILE_BOX));
    Report("the file box shows the image",
           fileBox.find(".hex") != std::string::npos ? "" : "it reads \"" + fileBox + "\"");
    Report("screenshot of the opened window", Screenshot(d, shots + "\\window-opened.png"));

    Click(d, TALVEX_START_BUTTON);
    const bool writing = WaitFor(
        [&] {
            return TextOf(GetDlgItem(d, TALVEX_PROGRESS_BAR)).rfind("Writing", 0) == 0 ||
                   HasRow(d, "Flashing Complete.");
        },
        60s);
    const std::string barText = TextOf(GetDlgItem(d, TALVEX_PROGRESS_BAR));
    problem.clear();
    if (!writing)
        problem = "no write phase within 60 s";
    else if (barText.find('%') == std::string::npos && !HasRow(d, "Flashing Complete."))
        problem = "bar text \"" + barText + "\"";
    Report("the progress bar names the phase and its percentage (\"" + barText + "\")", problem);
    if (!HasRow(d, "Flashing Complete.")) {
        Report("screenshot while downloading", Screenshot(d, shots + "\\window-downloading.png"));
    }
    const bool complete = WaitFor([&] { return HasRow(d, "Flashing Complete."); }, 120s);
    Report("Start (BM_CLICK) leads to \"Flashing Complete.\"", complete ? "" : "not within 120 s");
    WaitFor([&] { return Enabled(d, TALVEX_START_BUTTON) && Enabled(d, TALVEX_RUN_RESET_BUTTON); },
            5s);
    problem.clear();
    if (!Enabled(d, TALVEX_START_BUTTON)) problem = "Start is disabled";
    if (!Enabled(d, TALVEX_RUN_RESET_BUTTON)) problem = "Run/Reset is disabled";
    if (!Enabled(d, TALVEX_CONFIGURE_BUTTON)) problem = "Configure is disabled";
    Report("after the download Start, Run/Reset and Configure are enabled", problem);

    CheckSheet(s, d, shots);
    Report("screenshot after the download", Screenshot(d, shots + "\\window-complete.png"));

    Click(d, TALVEX_EXIT_BUTTON);
    const bool ended = Ended(s.program, 10000);
    problem = !ended                        ? "still running 10 s after Exit"
              : ExitCodeOf(s.program) != -1 ? "exit code " + std::to_string(ExitCodeOf(s.program))
                                            : "";
    Report("Exit ends talvex.exe with -1", problem);
    Finish(s);
    return g_failures;
}

// Empty when the port can be opened, else why not.
std::string PortTaken(const std::string& port) {
    const std::wstring device = L"\\\\.\\" + WideFromUtf8(port);
    UniqueHandle handle(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    return handle.Valid() ? "" : "CreateFile failed with " + std::to_string(GetLastError());
}

// Opens the window and presses Start; true once the download writes.
bool StartDownload(Session& s, const std::string& exe, const std::vector<std::string>& args,
                   const std::string& check) {
    if (!Open(s, exe, args)) return false;
    WaitFor([&] { return Rows(s.dialog).size() >= 2; }, 5s);
    Click(s.dialog, TALVEX_START_BUTTON);
    if (!WaitFor([&] { return HasRow(s.dialog, "Downloading"); }, 60s)) {
        Report(check, "the download never reached its write phase");
        Finish(s);
        return false;
    }
    return true;
}

int CloseMidDownload(const std::string& exe, const std::string& port,
                     const std::vector<std::string>& args) {
    Session s;
    if (!StartDownload(s, exe, args, "close mid-download")) return g_failures;
    const HWND d = s.dialog;
    const auto closedAt = Clock::now();
    PostMessageW(d, WM_CLOSE, 0, 0);
    WaitFor([&] { return !IsWindow(d); }, 10s);
    const long gone = MsSince(closedAt);
    const bool ended = Ended(s.program, 10000);
    const long took = MsSince(closedAt);
    std::string problem;
    if (!ended) {
        problem = "still running 10 s after the close";
    } else if (ExitCodeOf(s.program) != 2) {
        problem = "exit code " + std::to_string(ExitCodeOf(s.program)) + ", not 2";
    } else if (took > 1500) {
        problem = "took " + std::to_string(took) + " ms";
    }
    Report("closing the window mid-download ends talvex.exe with 2 (window gone after " +
               std::to_string(gone) + " ms, process after " + std::to_string(took) + " ms)",
           problem);
    Report("the port " + port + " is free at once", PortTaken(port));
    Finish(s);
    return g_failures;
}

// The driver stays when it sends the console its Ctrl+C.
BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

// talvex.exe started from a console, as from a batch file: Ctrl+C in the
// console mid-download ends it as it ends talvex-cli, with 130 and the port
// free.
int Interrupt(const std::string& exe, const std::string& port,
              const std::vector<std::string>& args) {
    // A console of our own when Wine started this program without one;
    // refused when it has one already.
    AllocConsole();
    SetConsoleCtrlHandler(KeepRunning, TRUE);
    Session s;
    if (!StartDownload(s, exe, args, "Ctrl+C in the console")) return g_failures;
    const auto sentAt = Clock::now();
    std::string problem;
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        problem = "GenerateConsoleCtrlEvent failed with " + std::to_string(GetLastError());
    } else if (!Ended(s.program, 10000)) {
        problem = "still running 10 s after Ctrl+C";
    } else if (ExitCodeOf(s.program) != 130) {
        problem = "exit code " + std::to_string(ExitCodeOf(s.program)) + ", not 130";
    }
    Report("Ctrl+C in the console mid-download ends talvex.exe with 130 (after " +
               std::to_string(MsSince(sentAt)) + " ms)",
           problem);
    Report("after Ctrl+C the port " + port + " is free", PortTaken(port));
    Finish(s);
    return g_failures;
}

int Failure(const std::string& exe, const std::string& shots,
            const std::vector<std::string>& args) {
    Session s;
    if (!Open(s, exe, args)) return 1;
    const HWND d = s.dialog;
    WaitFor([&] { return Rows(d).size() >= 2; }, 5s);
    Click(d, TALVEX_START_BUTTON);
    HWND box = nullptr;
    WaitFor([&] { return (box = FindDialog(s.program.id, d)) != nullptr; }, 60s);
    if (box == nullptr) {
        Report("a refused write shows a message box", "none within 60 s");
        Finish(s);
        return g_failures;
    }
    std::string text;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM param) -> BOOL {
            if (ClassOf(child) == L"Static")
                *reinterpret_cast<std::string*>(param) += TextOf(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&text));
    // One report line, whatever the box's lines.
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    Report("a refused write shows a message box (\"" + text + "\")",
           text.empty() ? "it says nothing" : "");
    Report("screenshot of the failure's message box",
           Screenshot(box, shots + "\\window-failure-box.png"));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return !IsWindow(box); }, 5s);
    WaitFor([&] { return Enabled(d, TALVEX_START_BUTTON); }, 10s);
    Report("after the failure Start is enabled again",
           Enabled(d, TALVEX_START_BUTTON) ? "" : "Start is disabled");
    Report("screenshot after the failure", Screenshot(d, shots + "\\window-failure.png"));
    Click(d, TALVEX_EXIT_BUTTON);
    Ended(s.program, 10000);
    Finish(s);
    return g_failures;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: talvex-win32-window-check flash|close|failure|interrupt TALVEX_EXE "
                     "SHOTS_DIR|PORT ARGS...\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string exe = argv[2];
    const std::string third = argv[3];
    const std::vector<std::string> args(argv + 4, argv + argc);
    if (mode == "flash") return Flash(exe, third, args);
    if (mode == "close") return CloseMidDownload(exe, third, args);
    if (mode == "failure") return Failure(exe, third, args);
    if (mode == "interrupt") return Interrupt(exe, third, args);
    std::fprintf(stderr, "talvex-win32-window-check: unknown mode %s\n", mode.c_str());
    return 2;
}
