#include "utf16.h"
#include "utf16_cases.h"

#include <gtest/gtest.h>

namespace talvex {
namespace {

using namespace utf16_cases;

TEST(Utf16Conversion, EachValidTextConvertsExactlyBothWays) {
    for (const Pair& c : kPairs) {
        SCOPED_TRACE(c.name);
        const auto utf16 = Utf8ToUtf16(c.utf8);
        ASSERT_TRUE(utf16.has_value());
        EXPECT_EQ(*utf16, c.utf16);
        const auto utf8 = Utf16ToUtf8(c.utf16);
        ASSERT_TRUE(utf8.has_value());
        EXPECT_EQ(*utf8, c.utf8);
    }
}

TEST(Utf16Conversion, InvalidUtf8IsRefusedWithThePlace) {
    for (const BadUtf8& c : kBadUtf8) {
        SCOPED_TRACE(c.name);
        std::string whyNot;
        EXPECT_FALSE(Utf8ToUtf16(c.utf8, &whyNot).has_value());
        EXPECT_NE(whyNot.find(c.reasonHas), std::string::npos) << whyNot;
    }
}

TEST(Utf16Conversion, UnpairedSurrogateIsRefusedWithThePlace) {
    for (const BadUtf16& c : kBadUtf16) {
        SCOPED_TRACE(c.name);
        std::string whyNot;
        EXPECT_FALSE(Utf16ToUtf8(c.utf16, &whyNot).has_value());
        EXPECT_NE(whyNot.find(c.reasonHas), std::string::npos) << whyNot;
        EXPECT_NE(whyNot.find("surrogate"), std::string::npos) << whyNot;
    }
}

TEST(Utf16Conversion, PathKeepsTheUtf8NameBothWays) {
    for (const Pair& c : kPairs) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf8FromPath(PathFromUtf8(c.utf8)), c.utf8);
    }
    // Here names are bytes: one that is no UTF-8 still names its file.
    for (const BadUtf8& c : kBadUtf8) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf8FromPath(PathFromUtf8(c.utf8)), c.utf8);
    }
    // A joined path keeps the letters of both parts.
    const auto joined = PathFromUtf8("b\xc3\xb6rd\xc3\xa9") / PathFromUtf8("\xe6\x9d\xbf.hex");
    EXPECT_EQ(Utf8FromPath(joined.filename()), "\xe6\x9d\xbf.hex");
    EXPECT_EQ(Utf8FromPath(joined.parent_path()), "b\xc3\xb6rd\xc3\xa9");
}

} // namespace
} // namespace talvex
