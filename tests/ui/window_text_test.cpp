// Texts the window builds: the progress bar's, Browse's proposal, and a
// status row from raw identification bytes.

#include <gtest/gtest.h>

#include <QStringList>

#include "window_text.h"

namespace talvex::testing {
namespace {

using ui::BrowseRequest;
using ui::ProgressBarText;
using ui::StatusRowText;

struct ProgressCase {
    ProgressPhase phase;
    std::uint32_t position;
    std::uint32_t range;
    double elapsed;
    const char* text;
};

TEST(ProgressBarText, NamesThePhaseAndShowsTimeLeftOnceAPhaseHasRunASecond) {
    const ProgressCase cases[] = {
        {ProgressPhase::Write, 0, 2048, 0.0, "Writing 0%"},
        // Under a second the rate says little yet.
        {ProgressPhase::Write, 1024, 2048, 0.9, "Writing 50%"},
        {ProgressPhase::Write, 1024, 2048, 1.0, "Writing 50%, 0:01 left"},
        // Less than a second left still shows as a second.
        {ProgressPhase::Write, 1400, 2048, 1.0, "Writing 68%, 0:01 left"},
        {ProgressPhase::Verify, 512, 2048, 10.0, "Verifying 25%, 0:30 left"},
        {ProgressPhase::Erase, 1, 128, 2.0, "Erasing 0%, 4:14 left"},
        {ProgressPhase::Write, 1, 4000, 1.0, "Writing 0%, 1:06:39 left"},
        // Nothing done yet: no rate to tell the time from.
        {ProgressPhase::Write, 0, 2048, 5.0, "Writing 0%"},
        // Done: no time left to show.
        {ProgressPhase::Write, 2048, 2048, 5.0, "Writing 100%"},
        // Halfword padding can carry the position past the range.
        {ProgressPhase::Write, 2050, 2048, 5.0, "Writing 100%"},
        // A phase with nothing to do is done, not a division by zero.
        {ProgressPhase::Erase, 0, 0, 3.0, "Erasing 100%"},
        {ProgressPhase::Protect, 1, 2, 0.5, "Protecting 50%"},
        // The widest range the engine can give.
        {ProgressPhase::Write, 0x80000000u, 0xFFFFFFFFu, 0.5, "Writing 50%"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgressBarText(c.phase, c.position, c.range, c.elapsed).toStdString(), c.text)
            << c.position << "/" << c.range << " after " << c.elapsed << " s";
    }
}

struct BrowseCase {
    const char* imageFile;
    char separator;
    const char* folder;
    const char* name;
};

TEST(BrowseRequest, SplitsTheImageFileAtItsLastSeparator) {
    const BrowseCase cases[] = {
        {"/home/bench/boards/board.hex", '/', "/home/bench/boards/", "board.hex"},
        {"C:\\boards\\v2\\board.hex", '\\', "C:\\boards\\v2\\", "board.hex"},
        // Another platform's separator is part of the name.
        {"C:\\boards\\board.hex", '/', "", "C:\\boards\\board.hex"},
        {"board.hex", '/', "", "board.hex"},
        {"/boards/", '/', "/boards/", ""},
        {"", '/', "", ""},
    };
    for (const auto& c : cases) {
        const ui::FileRequest request = BrowseRequest(c.imageFile, c.separator);
        EXPECT_EQ(request.folder.toStdString(), c.folder) << c.imageFile;
        EXPECT_EQ(request.proposedName.toStdString(), c.name) << c.imageFile;
        EXPECT_EQ(request.title.toStdString(), "Select File");
    }
}

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
