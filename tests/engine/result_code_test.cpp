// One table of exit codes serves the usage text and the README; a code added
// in one place and forgotten in the other is caught here.

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "result_code.h"

namespace talvex {
namespace {

std::set<int> TableCodes() {
    std::size_t count = 0;
    const ExitCodeInfo* table = ExitCodeTable(count);
    std::set<int> codes;
    int previous = -1;
    for (std::size_t i = 0; i < count; ++i) {
        const int code = ToInt(table[i].code);
        EXPECT_GT(code, previous) << "the table is in increasing order";
        EXPECT_STRNE(ExitCodeMeaning(code), "unknown result");
        previous = code;
        codes.insert(code);
    }
    return codes;
}

// The rows "| N | ..." of the README's "### Exit codes" table.
std::set<int> ReadmeCodes() {
    std::ifstream in(TALVEX_SOURCE_DIR "/README.md");
    std::string line;
    bool inSection = false;
    std::set<int> codes;
    while (std::getline(in, line)) {
        if (line.rfind("### Exit codes", 0) == 0) {
            inSection = true;
            continue;
        }
        if (inSection && line.rfind("#", 0) == 0) break;
        if (inSection && line.size() > 2 && line[0] == '|' && std::isdigit(line[2])) {
            codes.insert(std::stoi(line.substr(2)));
        }
    }
    return codes;
}

TEST(ExitCodes, TheReadmeTableListsExactlyTheCodesOfTheEngine) {
    const std::set<int> readme = ReadmeCodes();
    ASSERT_FALSE(readme.empty()) << "README.md has no exit-code table";
    EXPECT_EQ(readme, TableCodes());
}

TEST(ExitCodes, UnknownNumbersSaySo) {
    EXPECT_STREQ(ExitCodeMeaning(7), "write");
    EXPECT_STREQ(ExitCodeMeaning(11), "unknown result");
    EXPECT_STREQ(ExitCodeMeaning(-1), "unknown result");
}

} // namespace
} // namespace talvex
