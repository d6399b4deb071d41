#include "file_dialog.h"

#include <algorithm>

#include <windows.h>
#include <commdlg.h>

#include "utf16_win32.h"

namespace talvex::win32 {
namespace {

// The dialog's filter: label and pattern pairs, each ended by a null, the
// list by a second one. "All Files" is "*.*" here.
std::wstring FilterText(const std::vector<FileTypeFilter>& filters) {
    std::wstring text;
    for (const FileTypeFilter& filter : filters) {
        text += WideFromUtf8(filter.label);
        text += L'\0';
        text += filter.pattern == "*" ? std::wstring(L"*.*") : WideFromUtf8(filter.pattern);
        text += L'\0';
    }
    text += L'\0';
    return text;
}

} // namespace

std::string AskOpenFileName(void* owner, const HelpBrowseRequest& request) {
    const std::wstring filter = FilterText(request.filters);
    const std::wstring title = WideFromUtf8(request.title);
    const std::wstring folder = WideFromUtf8(request.folder);
    // Room for the longest path the system takes.
    std::wstring file(32768, L'\0');
    const std::wstring proposed = WideFromUtf8(request.proposedName);
    std::copy_n(proposed.begin(), std::min(proposed.size(), file.size() - 1), file.begin());

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = static_cast<HWND>(owner);
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrTitle = title.c_str();
    ofn.Flags =
        OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameW(&ofn)) return {};
    return Utf8FromWide(file.c_str());
}

} // namespace talvex::win32
