// The sheet's lists order and find names without the toolkit; these check
// that the order is the one a Qt list with a case-insensitive compare gives.

#include <gtest/gtest.h>

#include <QChar>
#include <QString>
#include <algorithm>
#include <string>
#include <vector>

#include "caseless_order.h"

namespace talvex::testing {
namespace {

using Strings = std::vector<std::string>;

int Sign(int value) { return (value > 0) - (value < 0); }

int QtCompare(const std::string& a, const std::string& b) {
    return QString::compare(QString::fromStdString(a), QString::fromStdString(b),
                            Qt::CaseInsensitive);
}

TEST(CaselessOrderAgainstQt, FoldsEveryCoveredCharacterAsQtDoes) {
    const std::pair<char32_t, char32_t> ranges[] = {
        {0x0000, 0x017F}, {0x0370, 0x03FF}, {0x0400, 0x04FF}, {0x1E00, 0x1EFF}};
    for (const auto& [first, last] : ranges) {
        for (char32_t c = first; c <= last; ++c) {
            EXPECT_EQ(FoldCase(c), QChar::toCaseFolded(c)) << std::hex << "U+" << std::uint32_t(c);
        }
    }
}

// Names a part database may hold, in every letter case and with Latin
// letters beyond ASCII, a stray byte and a character beyond the first plane.
const Strings kNames = {
    "ZaRQ4126",
    "zarq4126",
    "ZARQ4126",
    "ZaRQ4120",
    "alpha",
    "Alpha",
    "beta",
    "\303\211mile",
    "emile",
    "\303\251mile",
    "\303\204hre",
    "ahre",
    "\303\237a",
    "\341\272\236A",
    "ss",
    "\305\270x",
    "\303\277x",
    "\305\201odz",
    "\305\202odz",
    "lodz",
    "\305\277t",
    "st",
    "\304\260zmir",
    "izmir",
    "\302\265C",
    "\316\234c",
    "\320\201lka",
    "\321\221lka",
    "a\377b",
    "a\357\277\275b",
    "\360\237\230\200",
    "\356\200\200",
    "",
    "Z",
    "[",
    "_",
    "a b",
    "a-b",
    "A_B",
    "\303\227",
    "\303\267",
    "\341\272\240n",
    "\341\272\241n",
};

TEST(CaselessOrderAgainstQt, ComparesEveryPairAsQStringDoes) {
    for (const std::string& a : kNames) {
        for (const std::string& b : kNames) {
            EXPECT_EQ(Sign(CompareIgnoringCase(a, b)), Sign(QtCompare(a, b)))
                << "\"" << a << "\" / \"" << b << "\"";
        }
    }
}

TEST(CaselessOrderAgainstQt, SortsAsTheQtListDid) {
    Strings ours = kNames;
    Strings theirs = kNames;
    std::stable_sort(ours.begin(), ours.end(), AlphabeticallyBefore);
    std::stable_sort(theirs.begin(), theirs.end(), [](const std::string& a, const std::string& b) {
        const int folded = QtCompare(a, b);
        return folded != 0 ? folded < 0 : a < b;
    });
    EXPECT_EQ(ours, theirs);
}

} // namespace
} // namespace talvex::testing
