#include "startup.h"

#include <string_view>

#include "ini_file.h"
#include "part_db.h"
#include "settings_location.h"

namespace talvex {
namespace {

struct Option {
    std::string_view name;
    const char* section;
    const char* key;
    bool yesNo;
};

// Looked for in this order; "af=" and "aa=" are handled before.
constexpr Option kOptions[] = {
    {"ap=", "TalVex", "Part", false},  {"cp=", "Coms", "Port", false},
    {"cb=", "Coms", "Baud", false},    {"fe=", "Flash", "MassErase", true},
    {"fp=", "Flash", "Program", true}, {"fv=", "Flash", "Verify", true},
    {"fh=", "Flash", "Protect", true}, {"fk=", "Flash", "Key0", false},
    {"fm=", "Flash", "Mask", false},   {"rr=", "Run", "Autorun", true},
    {"rf=", "Run", "Address", false},  {"fb=", "Flash", "FrameBytes", false},
};

std::size_t BlankOrEnd(const std::string& text, std::size_t from) {
    std::size_t blank = text.find(' ', from);
    return blank == std::string::npos ? text.size() : blank;
}

void RemoveThroughBlank(std::string& text) {
    std::size_t blank = text.find(' ');
    if (blank == std::string::npos)
        text.clear();
    else
        text.erase(0, blank + 1);
}

// A word starting at `from`: between double quotes when it begins with one
// and a closing quote follows, else up to the next blank. Removes the word
// and one blank after it from the text.
std::string TakeWord(std::string& text, std::size_t from) {
    std::string word;
    std::size_t rest;
    std::size_t close = std::string::npos;
    if (from < text.size() && text[from] == '"') close = text.find('"', from + 1);
    if (close != std::string::npos) {
        word = text.substr(from + 1, close - from - 1);
        rest = close + 1;
        if (rest < text.size() && text[rest] == ' ') ++rest;
    } else {
        std::size_t blank = BlankOrEnd(text, from);
        word = text.substr(from, blank - from);
        rest = blank < text.size() ? blank + 1 : blank;
    }
    text.erase(0, rest);
    return word;
}

bool SaysNo(const std::string& text) {
    return text.size() > 3 && (text[3] == 'n' || text[3] == 'N');
}

// Writes one option's entry. What the file does not take is kept, so that
// the option still applies to this run; a later option of the same key that
// is stored makes an earlier unstored one moot.
void Store(StartupResult& result, bool store, std::string option, const char* section,
           const char* key, const std::string& value) {
    std::string reason = "not stored by this command";
    auto& unstored = result.unstored;
    if (store && ini::WriteText(result.settings.settingsPath, section, key, value, &reason)) {
        std::erase_if(unstored, [key](const UnstoredOption& u) { return u.key == key; });
    } else {
        unstored.push_back({std::move(option), key, value, std::move(reason)});
    }
}

void ApplyOption(const std::string& text, StartupResult& result, bool store) {
    for (const Option& option : kOptions) {
        if (!text.starts_with(option.name)) continue;
        std::string value;
        if (option.yesNo) {
            value = SaysNo(text) ? "No" : "Yes";
        } else {
            value = text.substr(3, BlankOrEnd(text, 3) - 3);
        }
        Store(result, store, text.substr(0, BlankOrEnd(text, 0)), option.section, option.key,
              value);
        return;
    }
}

} // namespace

std::string JoinCommandLine(int argc, const char* const* argv, int first) {
    std::string line;
    for (int i = first; i < argc; ++i) {
        if (i > first) line += ' ';
        std::string_view word = argv[i] ? argv[i] : "";
        std::size_t split = (word.size() >= 3 && word[2] == '=') ? 3 : 0;
        std::string_view part = word.substr(split);
        // A part that already starts with a quote was quoted by the user.
        if (part.find(' ') != std::string_view::npos && !part.starts_with('"')) {
            line += word.substr(0, split);
            line += '"';
            line += part;
            line += '"';
        } else {
            line += word;
        }
    }
    return line;
}

StartupResult RunStartup(const std::string& programDir, const std::string& commandLine,
                         bool storeOptions) {
    StartupResult result;
    Settings& s = result.settings;
    s.programDir = programDir;

    std::string text = commandLine + " ";

    std::string name;
    if (text.size() > 2 && text[2] != '=') name = TakeWord(text, 0);
    if (name.empty() || name.starts_with('-')) {
        // Also for an empty first word (a leading blank, or ""): a file
        // named ".ini" in whatever folder is current is never what was meant.
        // Nor is "-h.ini": a word with a dash is a flag given by mistake.
        s.settingsStem = DefaultSettingsStem(programDir);
    } else if (name.ends_with(".ini")) {
        s.settingsStem = name.substr(0, name.size() - 4);
    } else {
        s.settingsStem = name;
    }
    s.settingsPath = s.settingsStem + ".ini";
    s.partDbPath = programDir + "zelchip.ini";

    if (text.starts_with("af=")) {
        std::string file = TakeWord(text, 3);
        Store(result, storeOptions, "af=" + file, "Talvex", "File", file);
    }

    result.unattended = false;
    while (text.size() > 3 && text[2] == '=') {
        if (text.starts_with("aa=")) {
            if (!SaysNo(text)) result.unattended = true;
            RemoveThroughBlank(text);
            // The option after "aa=" is taken in the same pass, without the
            // check that ends the loop.
        }
        ApplyOption(text, result, storeOptions);
        RemoveThroughBlank(text);
    }

    const ini::FileCheck settingsFile = ini::CheckFile(s.settingsPath);
    if (settingsFile.status == ini::FileStatus::Unreadable ||
        settingsFile.status == ini::FileStatus::Refused) {
        result.settingsProblem = settingsFile.reason;
    }

    const PartDbCheck partDb = CheckPartDb(s.partDbPath);
    result.partDbPresent = partDb.present;
    result.partDbProblem = partDb.reason;
    s.exitCode = (result.unattended && !result.partDbPresent) ? 2 : 0;
    return result;
}

void ApplyUnstoredOptions(const StartupResult& startup, Settings& settings) {
    for (const UnstoredOption& option : startup.unstored) {
        SetOpeningValue(settings, option.key, option.value);
    }
}

std::string MissingPartDbMessage(const std::string& partDbPath, const std::string& reason) {
    const std::string what =
        reason.empty() ? "can not be located" : "can not be used (" + reason + ")";
    return "Configuration file \"" + partDbPath + "\" " + what +
           ".\n\nPlease re-install TALVEX to fix this problem.";
}

} // namespace talvex
