#include "part_db.h"

#include <cstdio>
#include <cstring>

#include "file_replace.h"
#include "hex_digits.h"
#include "ini_file.h"

namespace talvex {
namespace {

constexpr std::size_t kPieceBuffer = 512;
constexpr std::size_t kKeyBuffer = 256;

} // namespace

PartDbCheck CheckPartDb(const std::string& path) {
    const ini::FileCheck check = ini::CheckFile(path);
    // Refused or unreadable counts as missing, with the reason kept for the
    // message; a folder of that name holds no parts either.
    return {check.status == ini::FileStatus::Readable, check.reason};
}

bool PartDbPresent(const std::string& path) { return CheckPartDb(path).present; }

std::vector<std::string> ListParts(const std::string& path) {
    std::vector<std::string> parts;
    detail::OpenedFile opened = detail::OpenForReading(path, ini::kMaxFileBytes, true);
    if (!opened.file) return parts;
    std::FILE* file = opened.file.get();
    // fgets pieces on purpose: a line longer than the buffer is read in
    // pieces, and a piece that happens to begin with "[" names a part too.
    // Every piece holds at least one byte, so a file that grows without end
    // while it is read still ends here.
    char piece[kPieceBuffer];
    for (std::uint64_t pieces = 0;
         pieces < ini::kMaxFileBytes && std::fgets(piece, sizeof piece, file) != nullptr;
         ++pieces) {
        if (piece[0] != '[') continue;
        const char* name = piece + 1;
        const char* close = std::strchr(name, ']');
        parts.emplace_back(name,
                           close ? static_cast<std::size_t>(close - name) : std::strlen(name));
    }
    return parts;
}

std::string ReadPartKey(const std::string& path, const std::string& part, const std::string& key,
                        const std::string& defaultText) {
    return ini::ReadText(path, part, key, defaultText, kKeyBuffer);
}

bool ScanHex0x(const std::string& text, std::uint32_t& value) {
    if (text.size() < 3 || text[0] != '0' || text[1] != 'x') return false;
    std::uint32_t number = 0;
    if (ScanHexDigits32(text, 2, number) == 0) return false;
    value = number;
    return true;
}

} // namespace talvex
