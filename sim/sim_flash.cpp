#include "sim_flash.h"

#include "sim_frame.h"
#include "zarq_sim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>

namespace zarq {

std::string Hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

FlashModel::FlashModel(std::uint32_t size, std::uint32_t kernelOffset, std::uint8_t fill,
                       const std::vector<std::uint8_t>& preset)
    : cells_(size, fill), kernel_(std::min(kernelOffset, size)) {
    std::copy_n(preset.begin(), std::min(preset.size(), cells_.size()), cells_.begin());
}

bool FlashModel::InUserFlash(std::uint64_t offset, std::uint64_t count, const char* what,
                             std::string& why) const {
    const std::uint64_t end = offset + count;
    if (end > kernel_) {
        why = std::string(what) + " " + Hex(kFlashBase + offset) + ".." + Hex(kFlashBase + end) +
              (offset >= cells_.size() ? " lies outside the flash (" + Hex(kFlashBase) + ".." +
                                             Hex(kFlashBase + std::uint64_t(cells_.size())) + ")"
                                       : " reaches the kernel at " + Hex(kFlashBase + kernel_));
        return false;
    }
    return true;
}

bool FlashModel::MassErase(std::string&) {
    std::fill(cells_.begin(), cells_.begin() + kernel_, 0xFF);
    return true;
}

bool FlashModel::ErasePages(std::uint32_t offset, std::uint32_t pages, std::string& why) {
    if (offset % kPageSize != 0) {
        why = "erase at " + Hex(kFlashBase + std::uint64_t(offset)) + " is not on a 512-byte page";
        return false;
    }
    if (pages == 0) {
        why = "erase of 0 pages at " + Hex(kFlashBase + std::uint64_t(offset));
        return false;
    }
    const std::uint64_t count = std::uint64_t(pages) * kPageSize;
    if (!InUserFlash(offset, count, "erase", why)) return false;
    std::fill_n(cells_.begin() + offset, count, 0xFF);
    return true;
}

bool FlashModel::Write(std::uint32_t offset, const std::uint8_t* data, std::size_t count,
                       std::string& why) {
    if (!InUserFlash(offset, count, "write", why)) return false;
    std::uint8_t* cell = cells_.data() + offset;
    for (std::size_t i = 0; i < count; ++i) cell[i] &= data[i];
    return true;
}

bool FlashModel::Verify(std::uint32_t offset, const std::uint8_t* rotated, std::size_t count,
                        std::string& why) {
    if (!InUserFlash(offset, count, "verify", why)) return false;
    const std::uint8_t* cell = cells_.data() + offset;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t expected = RotateRight3(rotated[i]);
        if (cell[i] != expected) {
            char text[96];
            std::snprintf(
                text, sizeof text, "verify mismatch at 0x%llX: flash holds 0x%02X, frame 0x%02X",
                static_cast<unsigned long long>(kFlashBase) + offset + i, cell[i], expected);
            why = text;
            return false;
        }
    }
    return true;
}

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool ParseHexValue(const std::string& text, std::uint32_t& out) {
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || text[1] != 'x') return false;
    std::uint32_t v = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 + static_cast<std::uint32_t>(
                         std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10);
    }
    out = v;
    return true;
}

} // namespace

bool ReadPartGeometry(const std::string& path, const std::string& part, FlashGeometry& out,
                      std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open the part database " + path;
        return false;
    }
    const std::string wanted = Lower(part);
    std::map<std::string, std::pair<std::string, int>> keys; // key -> value, line
    bool inSection = false, found = false;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string t = Trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            const auto close = t.find(']');
            inSection = close != std::string::npos && Lower(Trim(t.substr(1, close - 1))) == wanted;
            found = found || inSection;
            continue;
        }
        const auto eq = t.find('=');
        if (!inSection || eq == std::string::npos) continue;
        const std::string key = Lower(Trim(t.substr(0, eq)));
        if (!keys.count(key)) // the first occurrence wins, as with the ini functions
            keys[key] = {Trim(t.substr(eq + 1)), lineNo};
    }
    if (!found) {
        error = "part " + part + " is not in the part database " + path;
        return false;
    }
    auto value = [&](const char* key, std::uint32_t& v, bool required) {
        const auto it = keys.find(Lower(key));
        if (it == keys.end()) {
            if (required) error = path + ": [" + part + "] has no " + key;
            return !required;
        }
        if (!ParseHexValue(it->second.first, v)) {
            error = path + ":" + std::to_string(it->second.second) + ": " + key + "=" +
                    it->second.first + " is not a 0x hexadecimal number";
            return false;
        }
        return true;
    };
    std::uint32_t romStart = kFlashBase, romEnd = 0, kStart = 0, kEnd = 0;
    if (!value("ROMStart", romStart, false) || !value("ROMEnd", romEnd, false) ||
        !value("KStart", kStart, true) || !value("KEnd", kEnd, false))
        return false;
    if (romStart != kFlashBase) {
        error = path + ": [" + part + "] ROMStart " + Hex(romStart) +
                ": user flash must begin at 0x80000";
        return false;
    }
    const std::uint64_t end =
        std::max({std::uint64_t(kStart), std::uint64_t(romEnd) + 1, std::uint64_t(kEnd) + 1});
    if (kStart <= kFlashBase || end - kFlashBase > (16u << 20)) {
        error = path + ": [" + part + "] KStart " + Hex(kStart) + " does not leave a user flash";
        return false;
    }
    out.size = static_cast<std::uint32_t>(end - kFlashBase);
    out.kernelStart = kStart;
    return true;
}

bool ReadFlashPreset(const std::string& path, std::uint32_t size, std::vector<std::uint8_t>& out,
                     std::string& error) {
    // Taken before any other call can change errno.
    const auto reason = [](int code) { return std::generic_category().message(code); };
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file) {
        const int code = errno;
        error = "cannot open the flash image " + path + ": " + reason(code);
        return false;
    }
    // One byte more than fits tells a file that is too long from one that
    // fills the flash exactly; a pipe has no size to ask for beforehand.
    std::vector<std::uint8_t> bytes(std::size_t(size) + 1);
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
    if (std::ferror(file.get())) {
        const int code = errno;
        error = "cannot read the flash image " + path + ": " + reason(code);
        return false;
    }
    if (got > size) {
        error = "the flash image " + path + " is longer than the flash (" + std::to_string(size) +
                " bytes from " + Hex(kFlashBase) + ")";
        return false;
    }
    bytes.resize(got);
    out = std::move(bytes);
    return true;
}

} // namespace zarq
