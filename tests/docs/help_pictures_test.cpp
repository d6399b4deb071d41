// A help page that names a picture which is not shipped shows no figure at
// all (the page hides a broken one), so the user pressing F1 never learns
// what the window looks like. Every picture a page names must be in docs/,
// where the install takes them from, and beside the pages in the build.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

std::set<std::string> PicturesNamedBy(const fs::path& page) {
    std::ifstream in(page, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::set<std::string> names;
    static const std::regex picture(R"(src\s*=\s*"images/([^"]+)\")");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), picture);
         it != std::sregex_iterator(); ++it) {
        names.insert((*it)[1].str());
    }
    return names;
}

TEST(HelpPictures, EveryPictureAPageNamesIsShippedAndBesideThePages) {
    const fs::path help = fs::path(TALVEX_SOURCE_DIR) / "res" / "help";
    std::size_t named = 0;
    for (const auto& entry : fs::directory_iterator(help)) {
        if (entry.path().extension() != ".html") continue;
        for (const std::string& name : PicturesNamedBy(entry.path())) {
            ++named;
            const std::string page = entry.path().filename().string();
            EXPECT_TRUE(fs::is_regular_file(fs::path(TALVEX_SOURCE_DIR) / "docs" / name))
                << page << " names images/" << name << ", which docs/ does not have";
            EXPECT_TRUE(fs::is_regular_file(fs::path(TALVEX_BIN_DIR) / "images" / name))
                << page << " names images/" << name << ", which the build does not put there";
        }
    }
    EXPECT_GT(named, 0u) << "the pages name no pictures at all: is the pattern still right?";
}

} // namespace
