// The flags, options and exit codes are told in five places: talvex-cli's
// own --help, the two man pages, the help page and the README. talvex-cli's
// --help is taken as the truth (it is what the program parses), and every
// other place must tell the same set, so that a flag or code added in one
// place and forgotten in another fails here.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot read " << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string HelpText() {
    const std::string command = std::string(TALVEX_BIN_DIR) + "/talvex-cli --help";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    if (!pipe) return text;
    std::array<char, 4096> chunk{};
    while (const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) {
        text.append(chunk.data(), got);
    }
    return text;
}

// Roff writes a minus as \- and may end a word with \c or \fR.
std::string PlainRoff(std::string text) {
    for (const char* escape : {"\\-", "\\c", "\\fR", "\\fI", "\\fB"}) {
        const std::string from = escape;
        const std::string to = from == "\\-" ? "-" : "";
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos;) {
            text.replace(at, from.size(), to);
            at += to.size();
        }
    }
    return text;
}

std::set<std::string> Matches(const std::string& text, const std::string& pattern, int group = 1) {
    std::set<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
        found.insert((*it)[group].str());
    }
    return found;
}

// The text from the first match of `from` up to the first match of `to`
// after it (or the end).
std::string Between(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t start = text.find(from);
    if (start == std::string::npos) return {};
    const std::size_t end = text.find(to, start + from.size());
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string Joined(const std::set<std::string>& items) {
    std::ostringstream out;
    for (const std::string& item : items) out << item << ' ';
    return out.str();
}

struct Truth {
    std::set<std::string> flags;   // --show, -h, ...
    std::set<std::string> options; // af=, cp=, ...
    std::set<std::string> codes;   // "0", "64", ...
};

const Truth& FromHelp() {
    static const Truth truth = [] {
        const std::string help = HelpText();
        Truth t;
        t.flags = Matches(help, R"((--[a-z][a-z-]*|-[hV])\b)");
        t.options = Matches(help, R"(\n  ([a-z]{2}=))");
        t.codes = Matches(Between(help, "Exit codes:", "\n\n"), R"((?:^|[ \n:,])(\d+) [a-z-])");
        return t;
    }();
    return truth;
}

TEST(DocsAgree, TalvexCliHelpNamesFlagsOptionsAndCodes) {
    // Guards the parsing below: an empty truth would let every check pass.
    const Truth& t = FromHelp();
    EXPECT_GE(t.flags.size(), 10u) << Joined(t.flags);
    EXPECT_TRUE(t.flags.count("--ports") && t.flags.count("-h") && t.flags.count("-V"))
        << Joined(t.flags);
    EXPECT_GE(t.options.size(), 13u) << Joined(t.options);
    EXPECT_GE(t.codes.size(), 13u) << Joined(t.codes);
    EXPECT_TRUE(t.codes.count("0") && t.codes.count("64") && t.codes.count("130"))
        << Joined(t.codes);
}

struct Place {
    const char* name;
    std::string text;
    std::set<std::string> codes; // the exit codes its table lists
};

std::vector<Place> Places() {
    const std::string src = TALVEX_SOURCE_DIR;
    const std::string man = PlainRoff(FileText(src + "/res/man/talvex-cli.1"));
    const std::string page = FileText(src + "/res/help/QV_P.html");
    const std::string readme = FileText(src + "/README.md");
    return {
        {"the man page talvex-cli(1)", man,
         Matches(Between(man, ".SH EXIT STATUS", ".SH ENVIRONMENT"), R"(\.TP\n\.B (\d+)\n)")},
        {"the help page QV_P.html", page,
         Matches(Between(page, "<h2 id=\"codes\">", "</table>"), R"(<tr><td>(\d+)</td>)")},
        {"the README", readme,
         Matches(Between(readme, "### Exit codes", "\n### "), R"(\n\| (\d+) \|)")},
    };
}

TEST(DocsAgree, EveryPlaceListsExactlyTheExitCodesOfTalvexCli) {
    for (const Place& place : Places()) {
        EXPECT_EQ(place.codes, FromHelp().codes)
            << place.name << " lists " << Joined(place.codes) << "; talvex-cli --help lists "
            << Joined(FromHelp().codes);
    }
}

TEST(DocsAgree, EveryPlaceNamesEveryFlagAndOption) {
    for (const Place& place : Places()) {
        for (const std::string& flag : FromHelp().flags) {
            EXPECT_TRUE(std::regex_search(place.text, std::regex(flag + R"((?![a-z-]))")))
                << place.name << " does not name " << flag;
        }
        for (const std::string& option : FromHelp().options) {
            EXPECT_NE(place.text.find(option), std::string::npos)
                << place.name << " does not name " << option;
        }
    }
}

TEST(DocsAgree, TheManPageDescribesExactlyTheFlagsTalvexCliTakes) {
    // Each flag is described in an entry of its own (.TP, then the flag), so
    // a flag the program dropped cannot stay described.
    const std::string man =
        PlainRoff(FileText(std::string(TALVEX_SOURCE_DIR) + "/res/man/talvex-cli.1"));
    const std::string entries = Between(man, ".SH OPTIONS", ".SH EXIT STATUS");
    std::set<std::string> described;
    const std::regex entry(R"(\.TP\n\.B[IR]? ([^\n]*))");
    for (auto it = std::sregex_iterator(entries.begin(), entries.end(), entry);
         it != std::sregex_iterator(); ++it) {
        for (const std::string& flag : Matches((*it)[1].str(), R"((--[a-z][a-z-]*|-[hV])\b)")) {
            described.insert(flag);
        }
    }
    EXPECT_EQ(described, FromHelp().flags);
}

TEST(DocsAgree, TheWindowManPageSaysWhenItEndsWithTheSharedCodes) {
    // The window program ends with 64, 74 and 130 as talvex-cli does, and
    // with its own codes for how it was closed.
    const std::string man =
        PlainRoff(FileText(std::string(TALVEX_SOURCE_DIR) + "/res/man/talvex.1"));
    const std::string status = Between(man, ".SH EXIT STATUS", ".SH FILES");
    for (const char* code : {"64", "74", "130", "255"}) {
        EXPECT_TRUE(std::regex_search(status, std::regex(std::string(R"(\b)") + code + R"(\b)")))
            << "talvex(1) does not say when the window program ends with " << code;
    }
}

} // namespace
