#include "system_error_text.h"

#include <windows.h>

#include "utf16_win32.h"

namespace talvex {

std::string SystemErrorText(unsigned long code) {
    // Wide, so that a message in the user's language reaches the UTF-8 text
    // unharmed.
    wchar_t text[512] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text / sizeof text[0], nullptr);
    std::string result = Utf8Name(std::wstring_view(text, n)).value_or(std::string());
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result.empty() ? "system error " + std::to_string(code) : result;
}

} // namespace talvex
