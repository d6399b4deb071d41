// The UTF-8/UTF-16 conversion and the wide file calls under Wine
// (tools/wine-check.sh): the shared table of conversion cases, then files
// with non-ASCII names made, read and written through the core's own calls.
// GoogleTest is not available for the cross build, so each check prints one
// "ok NAME" or "FAIL NAME: why" line; the exit code is the number of failures.

#include <cstdio>
#include <filesystem>
#include <string>

#include <windows.h>

#include "check_report.h"
#include "ini_file.h"
#include "regular_file.h"
#include "utf16.h"
#include "utf16_cases.h"
#include "utf16_win32.h"

using namespace talvex;
using namespace talvex::wine_check;
using namespace talvex::utf16_cases;

namespace {

void ConversionTable() {
    std::string problem;
    for (const Pair& c : kPairs) {
        const auto utf16 = Utf8ToUtf16(c.utf8);
        const auto utf8 = Utf16ToUtf8(c.utf16);
        if (!utf16 || *utf16 != c.utf16 || !utf8 || *utf8 != c.utf8) {
            problem += std::string(c.name) + " does not convert exactly; ";
        }
        const auto wide = WideName(c.utf8);
        if (!wide || std::u16string(wide->begin(), wide->end()) != c.utf16) {
            problem += std::string(c.name) + " has another wide name; ";
        }
    }
    Report("UTF-8 and UTF-16 convert exactly both ways", problem);

    problem.clear();
    for (const BadUtf8& c : kBadUtf8) {
        std::string whyNot;
        if (Utf8ToUtf16(c.utf8, &whyNot) || whyNot.find(c.reasonHas) == std::string::npos) {
            problem += std::string(c.name) + " not refused with its place (" + whyNot + "); ";
        }
    }
    Report("invalid UTF-8 is refused with its place", problem);

    problem.clear();
    for (const BadUtf16& c : kBadUtf16) {
        std::string whyNot;
        if (Utf8Name(std::wstring(c.utf16.begin(), c.utf16.end()), &whyNot) ||
            whyNot.find(c.reasonHas) == std::string::npos) {
            problem += std::string(c.name) + " not refused with its place (" + whyNot + "); ";
        }
    }
    Report("a name with an unpaired surrogate is refused with its place", problem);
}

// A folder bördé with 板.hex in it and the settings file bördé.ini.
void FilesWithNonAsciiNames(const std::string& work) {
    const std::string folder = work + "\\b\xc3\xb6rd\xc3\xa9";
    const std::string image = folder + "\\\xe6\x9d\xbf.hex";
    const std::string settings = folder + "\\b\xc3\xb6rd\xc3\xa9.ini";
    std::error_code error;
    std::filesystem::create_directories(PathFromUtf8(folder), error);
    {
        std::FILE* out = _wfopen(WideName(image).value_or(L"").c_str(), L"wb");
        if (out) {
            std::fputs(":00000001FF\r\n", out);
            std::fclose(out);
        }
    }
    // The wide name as Windows itself lists it.
    bool listed = false;
    for (const auto& entry : std::filesystem::directory_iterator(PathFromUtf8(folder), error)) {
        listed = listed || entry.path().filename().wstring() == L"\u677F.hex";
    }
    Report("the image is made under its real wide name 板.hex", listed ? "" : "not found");

    RegularFile opened = OpenRegularFileForReading(image);
    std::string problem;
    if (opened.status != RegularFileStatus::Opened) {
        problem = "not opened: " + opened.reason;
    } else if (opened.size != 13) {
        problem = "size " + std::to_string(opened.size) + ", not 13";
    }
    Report("an image named 板.hex in a folder bördé opens", problem);

    std::string whyNot;
    problem.clear();
    if (!ini::WriteText(settings, "TalVex", "File", image, &whyNot)) {
        problem = "not written: " + whyNot;
    } else if (ini::ReadText(settings, "TalVex", "File", "", ini::kWholeValue) != image) {
        problem = "read back as \"" + ini::ReadText(settings, "TalVex", "File", "", 1024) + "\"";
    } else if (!std::filesystem::is_regular_file(PathFromUtf8(settings), error)) {
        problem = "no file bördé.ini under its wide name";
    }
    Report("the settings file bördé.ini holds the name 板.hex and gives it back", problem);

    // What a settings file written by an older version holds: the name in
    // the ANSI code page. It still opens when the code page has the letters.
    const std::string ansiImage = work + "\\b\xf6rd.hex";
    problem.clear();
    if (GetACP() == 1252) {
        std::filesystem::copy_file(PathFromUtf8(image), PathFromUtf8(work + "\\b\xc3\xb6rd.hex"),
                                   error);
        RegularFile legacy = OpenRegularFileForReading(ansiImage);
        if (legacy.status != RegularFileStatus::Opened) problem = "not opened: " + legacy.reason;
        Report("a name in the ANSI code page (older settings files) still opens", problem);
        std::filesystem::remove(PathFromUtf8(work + "\\b\xc3\xb6rd.hex"), error);
    }
    std::filesystem::remove_all(PathFromUtf8(folder), error);
}

} // namespace

int main(int argc, char** argv) {
    const std::string work = argc > 1 ? argv[1] : ".";
    ConversionTable();
    FilesWithNonAsciiNames(work);
    return g_failures;
}
