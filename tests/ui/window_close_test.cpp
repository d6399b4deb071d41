// The window's endings: an unattended run closes itself with its result
// code, and closing during any phase of a download stops the worker within
// a port time-out, releases the port and draws nothing more.

#include <QMessageBox>

#include "serial_port.h"
#include "window_fixture.h"

namespace talvex::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct UnattendedCase {
    const char* name;
    bool withSim;
    const char* part;
    bool damagedImage;
    int result;
};

void PrintTo(const UnattendedCase& c, std::ostream* out) { *out << c.name; }

class UnattendedTest : public WindowTest, public ::testing::WithParamInterface<UnattendedCase> {};

TEST_P(UnattendedTest, StartsWithoutAClickAndClosesWithItsCode) {
    const UnattendedCase& c = GetParam();
    if (c.withSim) StartSim({});
    const auto chunks = Records(0, 8, 64);
    std::string text = HexText(chunks);
    if (c.damagedImage) text[text.find('\n') + 12] ^= 1; // a data digit of the second record
    WriteImage("board.hex", text);
    Settings s = MakeSettings();
    s.part = c.part;
    ui::MainDialog dialog(Stored(s, true));
    EXPECT_EQ(ExecWithGuard(dialog), c.result) << c.name;
    EXPECT_TRUE(messages_.empty()) << "an unattended run shows no box: " << messages_.front();
    EXPECT_TRUE(dialog.Session().Finished());
    if (!c.withSim) return;
    if (c.result == 0) {
        EXPECT_EQ(FlashRange(0, 512), ImageBytes(chunks));
    } else {
        EXPECT_TRUE(Frames('E').empty() && Frames('W').empty()) << "nothing erased or written";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, UnattendedTest,
    ::testing::Values(UnattendedCase{"Success", true, "ZaRQ4126", false, 0},
                      UnattendedCase{"WrongPart", true, "ZaRQ4124", false, 6},
                      UnattendedCase{"PortNotOpened", false, "ZaRQ4126", false, 4},
                      UnattendedCase{"DamagedImage", true, "ZaRQ4126", true, 2}),
    [](const ::testing::TestParamInfo<UnattendedCase>& info) {
        return std::string(info.param.name);
    });

enum class Closer { ExitButton, CloseBox };

struct CloseCase {
    const char* name;
    std::vector<std::string> simArgs;
    const char* closeOnRow; // close once a row beginning with this is shown
    bool imageMissing;      // the download stops at a message box
    bool unattended;
    Closer closer;
    int result;
};

void PrintTo(const CloseCase& c, std::ostream* out) { *out << c.name; }

class CloseDuringDownloadTest : public WindowTest,
                                public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuringDownloadTest, EndsPromptlyAndCleanly) {
    const CloseCase& c = GetParam();
    StartSim(c.simArgs);
    WriteImage("board.hex", HexText(Records(0, 64, 16)));
    Settings s = MakeSettings();
    if (c.imageMissing) {
        s.imageFile = (dir_ / "gone.hex").string();
        // The real box, with its own event loop, as a user would have it.
        ui::Hooks().message = savedHooks_.message;
    }
    ui::MainDialog dialog(Stored(s, c.unattended));

    auto openBox = [&]() -> QMessageBox* {
        for (auto* box : dialog.findChildren<QMessageBox*>()) {
            if (box->isVisible()) return box;
        }
        return nullptr;
    };
    auto due = [&] { return c.imageMissing ? openBox() != nullptr : HasRow(dialog, c.closeOnRow); };
    std::size_t rowsAtClose = 0;
    Clock::time_point closedAt;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
        if (!due()) return;
        poll.stop();
        rowsAtClose = Rows(dialog).size();
        closedAt = Clock::now();
        if (c.closer == Closer::ExitButton) {
            QTest::mouseClick(Find<QPushButton>(dialog, "exitButton"), Qt::LeftButton);
        } else {
            dialog.close();
        }
    });
    poll.start(10);
    if (!c.unattended) {
        QTimer::singleShot(0, &dialog, [&] {
            QTest::mouseClick(Find<QPushButton>(dialog, "startButton"), Qt::LeftButton);
        });
    }
    const int result = ExecWithGuard(dialog);
    const auto closeToEnd = Clock::now() - closedAt;

    ASSERT_GT(rowsAtClose, 0u) << c.name << ": never reached the moment to close";
    EXPECT_EQ(result, c.result) << c.name;
    // The longest single wait at 115200 baud is a 24-byte read of 42 ms; a
    // close that needs more than a few of them is waiting for something else.
    EXPECT_LT(closeToEnd, 250ms) << c.name;
    EXPECT_TRUE(dialog.Session().Finished());
    EXPECT_EQ(openBox(), nullptr) << "the box went with the window";
    QTest::qWait(100);
    EXPECT_EQ(Rows(dialog).size(), rowsAtClose) << "nothing drawn after the close";

    // The worker released the port on its way out.
    CSerialPort port;
    EXPECT_TRUE(port.Open(sim_->DevicePath(), "115200")) << c.name;
    port.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Phases, CloseDuringDownloadTest,
    ::testing::Values(
        CloseCase{"Identification",
                  {"--never-announce"},
                  "    Press Download",
                  false,
                  false,
                  Closer::CloseBox,
                  2},
        CloseCase{"Erase", {"--erase-ms", "400"}, "Erasing ", false, false, Closer::ExitButton, -1},
        CloseCase{"Write",
                  {"--write-us-per-byte", "3000"},
                  "Downloading ... ",
                  false,
                  false,
                  Closer::CloseBox,
                  2},
        CloseCase{"MessageBox", {}, "", true, false, Closer::CloseBox, 2},
        CloseCase{"UnattendedExit",
                  {"--write-us-per-byte", "3000"},
                  "Downloading ... ",
                  false,
                  true,
                  Closer::ExitButton,
                  -1}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace talvex::testing
