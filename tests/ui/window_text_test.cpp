// Texts the window builds in Qt's terms: Browse's filter and a status row
// from raw identification bytes (the figures and the split of the image
// path are the core's, tested with it).

#include <gtest/gtest.h>

#include <QStringList>

#include "window_text.h"

namespace talvex::testing {
namespace {

using ui::BrowseRequest;
using ui::StatusRowText;

TEST(BrowseRequest, OffersHexFilesFirstThenAllFiles) {
    const QStringList filters = BrowseRequest("a.hex", '/').filter.split(QStringLiteral(";;"));
    ASSERT_EQ(filters.size(), 2);
    EXPECT_TRUE(filters[0].startsWith(QStringLiteral("*.hex ")));
    EXPECT_TRUE(filters[0].endsWith(QStringLiteral("(*.hex)")));
    EXPECT_TRUE(filters[1].startsWith(QStringLiteral("All Files")));
}

TEST(StatusRowText, KeepsEveryLineOnOneRow) {
    const struct {
        std::string raw;
        const char* row;
    } cases[] = {
        {"ZaRQ4126 BOOT rJ.2 received.", "ZaRQ4126 BOOT rJ.2 received."},
        {"ZaRQ\r\n4126\x01 received.", "ZaRQ\\r\\n4126\\x01 received."},
        {"tab\there\x7f", "tab\\x09here\\x7f"},
        // Bytes that are not UTF-8 come from the line as they are.
        {"noise \xff\xfe received.", "noise \xc3\xbf\xc3\xbe received."},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StatusRowText(c.raw).toStdString(), c.row);
    }
}

} // namespace
} // namespace talvex::testing
