#include "utf16.h"

#include <cstdint>
#include <cstdio>

namespace talvex {
namespace {

std::string ByteText(std::size_t index, unsigned char byte, const char* what) {
    char text[96];
    std::snprintf(text, sizeof text, "byte %zu (0x%02x) %s", index + 1, byte, what);
    return text;
}

template <typename T>
std::optional<T> Refuse(std::string* whyNot, std::string reason) {
    if (whyNot) *whyNot = std::move(reason);
    return std::nullopt;
}

} // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8, std::string* whyNot) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        std::size_t length;
        char32_t value;
        char32_t smallest;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            value = lead & 0x1F;
            smallest = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            value = lead & 0x0F;
            smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            value = lead & 0x07;
            smallest = 0x10000;
        } else {
            return Refuse<std::u16string>(whyNot, ByteText(i, lead, "is not UTF-8"));
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= utf8.size()) {
                return Refuse<std::u16string>(whyNot,
                                              ByteText(i, lead, "begins a cut-off UTF-8 sequence"));
            }
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                return Refuse<std::u16string>(whyNot, ByteText(i + k, next, "is not UTF-8"));
            }
            value = (value << 6) | (next & 0x3F);
        }
        if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return Refuse<std::u16string>(whyNot,
                                          ByteText(i, lead, "begins a sequence that is not UTF-8"));
        }
        if (value >= 0x10000) {
            value -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (value >> 10));
            out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
        } else {
            out += static_cast<char16_t>(value);
        }
        i += length;
    }
    return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16, std::string* whyNot) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t value = utf16[i];
        if (value >= 0xD800 && value <= 0xDFFF) {
            const bool pairs = value <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
                               utf16[i + 1] <= 0xDFFF;
            if (!pairs) {
                char text[80];
                std::snprintf(text, sizeof text, "character %zu is an unpaired surrogate (0x%04x)",
                              i + 1, static_cast<unsigned>(value));
                return Refuse<std::string>(whyNot, text);
            }
            value = 0x10000 + ((value - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        if (value < 0x80) {
            out += static_cast<char>(value);
        } else if (value < 0x800) {
            out += static_cast<char>(0xC0 | (value >> 6));
            out += static_cast<char>(0x80 | (value & 0x3F));
        } else if (value < 0x10000) {
            out += static_cast<char>(0xE0 | (value >> 12));
            out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (value & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (value >> 18));
            out += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (value & 0x3F));
        }
    }
    return out;
}

namespace {

// Templates, so that only the branch of the platform's native type is
// compiled.
template <typename Native>
std::basic_string<Native> NativeFromUtf8(const std::string& utf8, bool& converted) {
    converted = true;
    if constexpr (sizeof(Native) == sizeof(char16_t)) {
        const auto wide = Utf8ToUtf16(utf8);
        if (!wide) {
            converted = false;
            return {};
        }
        return std::basic_string<Native>(wide->begin(), wide->end());
    } else {
        // The native encoding is bytes: passed on unchanged, whatever they are.
        return utf8;
    }
}

template <typename Native>
std::string Utf8FromNative(const std::basic_string<Native>& native) {
    if constexpr (sizeof(Native) == sizeof(char16_t)) {
        const auto utf8 = Utf16ToUtf8(std::u16string(native.begin(), native.end()));
        return utf8 ? *utf8 : std::string();
    } else {
        return native;
    }
}

} // namespace

std::filesystem::path PathFromUtf8(const std::string& utf8) {
    bool converted = false;
    auto native = NativeFromUtf8<std::filesystem::path::value_type>(utf8, converted);
    // The library's own UTF-8 conversion throws on a bad byte; a name that is
    // no UTF-8 takes the library's narrow conversion (the ANSI code page on
    // Windows), as a settings file written by an older version holds it.
    if (!converted) return std::filesystem::path(utf8);
    return std::filesystem::path(std::move(native));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    return Utf8FromNative(path.native());
}

} // namespace talvex
