#include "utf16_win32.h"

#include <windows.h>

#include "utf16.h"

namespace talvex {

std::optional<std::wstring> WideName(std::string_view name, std::string* whyNot) {
    std::string notUtf8;
    if (const auto utf16 = Utf8ToUtf16(name, &notUtf8)) {
        return std::wstring(utf16->begin(), utf16->end());
    }
    // Strict: a byte the code page does not define fails instead of becoming
    // a question mark.
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                                           static_cast<int>(name.size()), nullptr, 0);
    if (length > 0) {
        std::wstring wide(static_cast<std::size_t>(length), L'\0');
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                                static_cast<int>(name.size()), wide.data(), length) == length) {
            return wide;
        }
    }
    if (whyNot) *whyNot = "the name is not valid UTF-8: " + notUtf8;
    return std::nullopt;
}

std::optional<std::string> Utf8Name(std::wstring_view name, std::string* whyNot) {
    std::string reason;
    auto utf8 = Utf16ToUtf8(std::u16string(name.begin(), name.end()), &reason);
    if (!utf8 && whyNot) *whyNot = "the name has no Unicode form: " + reason;
    return utf8;
}

std::wstring WideFromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string utf8(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n,
                        nullptr, nullptr);
    return utf8;
}

} // namespace talvex
