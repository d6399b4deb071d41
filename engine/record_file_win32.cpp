// Appending a record line on Windows: FILE_APPEND_DATA alone makes each
// write land at the end of the file as one piece, also on a shared file.

#include <string>
#include <windows.h>

#include "system_error_text.h"
#include "unique_handle.h"
#include "utf16_win32.h"

#include "run_record.h"

namespace talvex {

bool AppendRecordLine(const std::string& path, const std::string& line, std::string& whyNot) {
    if (path.empty()) {
        whyNot = "no file name";
        return false;
    }
    const auto wide = WideName(path, &whyNot);
    if (!wide) return false;
    UniqueHandle file(CreateFileW(wide->c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        whyNot = SystemErrorText(GetLastError());
        return false;
    }
    // LF as on every other station that may share the file.
    const std::string text = line + "\n";
    DWORD written = 0;
    if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        whyNot = SystemErrorText(GetLastError());
        return false;
    }
    if (written != text.size()) {
        whyNot = "only " + std::to_string(written) + " of " + std::to_string(text.size()) +
                 " bytes went in (disk full?)";
        return false;
    }
    return true;
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) return {};
    return Utf8Name(std::wstring_view(name, size)).value_or(std::string());
}

} // namespace talvex
