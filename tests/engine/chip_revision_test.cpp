// Where the older chip revisions end. Parts of the legacy list are of a new
// revision when character 15 of their identification is "I" or later and
// character 17 is a digit from 1 to 9; only those may reset and protect,
// and only the older ones need their records padded to halfwords. Each row
// sits on one side of an edge, next to a row on the other side, so that an
// edge moved by one revision either way changes the outcome of a row.

#include <algorithm>

#include "engine_fixture.h"

namespace talvex::testing {
namespace {

struct RevisionCase {
    const char* name;
    const char* part;
    std::string id;
    bool newRevision;
};

void PrintTo(const RevisionCase& c, std::ostream* os) {
    *os << c.name << " (";
    for (unsigned char ch : c.id) {
        if (ch >= 0x20 && ch < 0x7F) {
            *os << ch;
        } else {
            static const char kDigits[] = "0123456789ABCDEF";
            *os << "\\x" << kDigits[ch >> 4] << kDigits[ch & 0xF];
        }
    }
    *os << ")";
}

class ChipRevisionTest : public EngineTest, public ::testing::WithParamInterface<RevisionCase> {};

TEST_P(ChipRevisionTest, DecidesPaddingResetAndProtection) {
    const RevisionCase& c = GetParam();
    StartSim({"--part", c.part, "--id", c.id});
    // Three bytes at an odd offset: written as they are on a new revision,
    // as four bytes from the even offset below on an older one.
    WriteImage("board.hex", HexText({{0x101, {0x11, 0x22, 0x33}}}));
    Settings s = MakeSettings();
    s.part = c.part;
    s.autorun = "Yes";
    s.runMode = 1; // Reset, which only a new revision may do

    EXPECT_EQ(RunUnattended(s), 0) << ::testing::PrintToString(window_.Failures());

    const ChipValues chip = worker_->Chip();
    EXPECT_EQ(chip.protectSupported, c.newRevision);
    EXPECT_EQ(chip.resetSupported, c.newRevision);
    EXPECT_EQ(chip.halfwordAlign, !c.newRevision);

    const auto writes = Frames('W');
    ASSERT_EQ(writes.size(), 1u);
    if (c.newRevision) {
        EXPECT_EQ(writes[0].value, 0x101u);
        EXPECT_EQ(writes[0].data, (std::vector<std::uint8_t>{0x11, 0x22, 0x33}));
    } else {
        EXPECT_EQ(writes[0].value, 0x100u);
        EXPECT_EQ(writes[0].data, (std::vector<std::uint8_t>{0xFF, 0x11, 0x22, 0x33}));
    }
    const auto runs = Frames('R');
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].value, c.newRevision ? 1u : 0u) << "1 resets, 0 runs";
    const auto lines = window_.Lines();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "\"Reset\" unsupported. Performing \"Run\" instead"),
        c.newRevision ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    EitherSideOfEachEdge, ChipRevisionTest,
    ::testing::Values(
        // Character 15: H is older, I is new.
        RevisionCase{"LetterH", "ZaRQ4126", "ZaRQ4126 BOOT rH.1", false},
        RevisionCase{"LetterI", "ZaRQ4126", "ZaRQ4126 BOOT rI.1", true},
        RevisionCase{"LetterIDigit0", "ZaRQ4126", "ZaRQ4126 BOOT rI.0", false},
        // Character 17 is read on its own: 0 is older whatever the letter.
        RevisionCase{"LetterJDigit0", "ZaRQ4126", "ZaRQ4126 BOOT rJ.0", false},
        RevisionCase{"LetterJDigit1", "ZaRQ4126", "ZaRQ4126 BOOT rJ.1", true},
        // The top of the digits: 9 is new, the character after it is not.
        RevisionCase{"LetterJDigit9", "ZaRQ4126", "ZaRQ4126 BOOT rJ.9", true},
        RevisionCase{"LetterJColon", "ZaRQ4126", "ZaRQ4126 BOOT rJ.:", false},
        // "Later" is by character code: a lower-case i comes after I, a
        // character above 0x7F counts as earlier.
        RevisionCase{"LowerCaseI", "ZaRQ4126", "ZaRQ4126 BOOT ri.1", true},
        RevisionCase{"CharacterAbove7F", "ZaRQ4126", "ZaRQ4126 BOOT r\xC9.1", false},
        // Too short to carry character 17.
        RevisionCase{"SeventeenCharacters", "ZaRQ4126", "ZaRQ4126 BOOT rJ.", false},
        RevisionCase{"EighteenCharacters", "ZaRQ4126", "ZaRQ4126 BOOT rJ.2", true},
        // Both ends of the legacy list, and the first part past it, which
        // is new whatever its revision characters say.
        RevisionCase{"FirstLegacyPartLetterH", "ZaRQ4119", "ZaRQ4119 BOOT rH.1", false},
        RevisionCase{"FirstLegacyPartLetterI", "ZaRQ4119", "ZaRQ4119 BOOT rI.1", true},
        RevisionCase{"LastLegacyPartLetterH", "ZaRQ4127", "ZaRQ4127 BOOT rH.1", false},
        RevisionCase{"PartAfterTheListLetterH", "ZaRQ4128", "ZaRQ4128 BOOT rH.0", true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace talvex::testing
