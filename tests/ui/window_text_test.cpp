// Browse's filter as Qt takes it (the figures, the status rows and the split
// of the image path are the core's, tested with it).

#include <gtest/gtest.h>

#include <QStringList>

#include "window_text.h"

namespace talvex::testing {
namespace {

using ui::BrowseRequest;

TEST(BrowseRequest, OffersHexFilesFirstThenAllFiles) {
    const QStringList filters = BrowseRequest("a.hex", '/').filter.split(QStringLiteral(";;"));
    ASSERT_EQ(filters.size(), 2);
    EXPECT_TRUE(filters[0].startsWith(QStringLiteral("*.hex ")));
    EXPECT_TRUE(filters[0].endsWith(QStringLiteral("(*.hex)")));
    EXPECT_TRUE(filters[1].startsWith(QStringLiteral("All Files")));
}

} // namespace
} // namespace talvex::testing
