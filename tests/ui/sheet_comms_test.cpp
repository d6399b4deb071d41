// Comms page: the ports present, the rates, and what OK stores.

#include "sheet_fixture.h"

#include <filesystem>

#include "pages/comms_page.h"
#include "port_info.h"

namespace talvex::testing {
namespace {

using Strings = std::vector<std::string>;

class CommsTest : public SheetTest {};

TEST_F(CommsTest, ListsThePortsPresentAndKeepsAnAbsentConfiguredPortAsItsOwnEntry) {
    Open(Defaults()); // Port "COM1", present are COM3 and COM7
    GoTo("Comms");
    EXPECT_EQ(Entries("portList"), (Strings{"COM3", "COM7", "COM1  (not present)"}));
    EXPECT_EQ(Current("portList"), "COM1  (not present)");
    const ConfigureValues out = Ok();
    EXPECT_EQ(out.settings.port, "COM1") << "shown and stored alike";
}

TEST(PortText, ALongNameGivesWayBeforeItsNote) {
    const QFontMetrics metrics(QApplication::font());
    const QString note = QStringLiteral("  (not present)");
    const QString path = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00");
    const struct {
        QString name;
        int width;
    } cases[] = {
        {QStringLiteral("COM1"), 400},
        {QStringLiteral("/dev/ttyFAKE9"),
         metrics.horizontalAdvance(QStringLiteral("/dev/tt") + note)},
        {path, metrics.horizontalAdvance(note) * 2},
    };
    for (const auto& c : cases) {
        const QString shown = ui::FitPortText(c.name, note, metrics, c.width);
        EXPECT_LE(metrics.horizontalAdvance(shown), c.width) << shown.toStdString();
        EXPECT_TRUE(shown.endsWith(note)) << shown.toStdString();
        EXPECT_TRUE(shown.endsWith(c.name.right(1) + note)) << shown.toStdString();
    }
    EXPECT_EQ(ui::FitPortText(QStringLiteral("COM1"), note, metrics, 400),
              QStringLiteral("COM1") + note)
        << "a name that fits is shown whole";
    EXPECT_EQ(ui::FitPortText(path, QString(), metrics, 1000), path);
}

TEST_F(CommsTest, AnAbsentPathPortKeepsItsNoteInTheClosedList) {
    ConfigureValues values = Defaults();
    values.settings.port = "/dev/ttyFAKE9";
    Open(values);
    GoTo("Comms");
    auto* list = Find<QComboBox>("portList");
    EXPECT_EQ(list->currentText().toStdString(), "/dev/ttyFAKE9  (not present)");
    EXPECT_EQ(list->currentData(ui::CommsPage::kNoteRole).toString().toStdString(),
              "  (not present)");
    const QString file = QStringLiteral(TALVEX_SCREENSHOT_DIR "/sheet-comms-absent-path.png");
    EXPECT_TRUE(sheet_->grab().save(file)) << file.toStdString();
}

TEST_F(CommsTest, AnUntouchedListKeepsTheStoredSpelling) {
    ConfigureValues values = Defaults();
    values.settings.port = "com3"; // matched without regard to case
    Open(values);
    GoTo("Comms");
    EXPECT_EQ(Current("portList"), "COM3");
    EXPECT_EQ(Ok().settings.port, "com3");
}

TEST_F(CommsTest, APickedPortIsStoredByNameWithoutItsDescription) {
    ports_ = {{"COM3", ""}, {"/dev/ttyUSB0", "FTDI FT232R USB UART, serial A10K3XYZ"}};
    ConfigureValues values = Defaults();
    values.settings.port = "COM3";
    Open(values);
    GoTo("Comms");
    EXPECT_EQ(Entries("portList"), (Strings{"COM3", "/dev/ttyUSB0"}));
    auto* list = Find<QComboBox>("portList");
    EXPECT_EQ(list->itemData(1, ui::CommsPage::kDescriptionRole).toString().toStdString(),
              "FTDI FT232R USB UART, serial A10K3XYZ");
    EXPECT_TRUE(list->toolTip().isEmpty());
    Pick("portList", "/dev/ttyUSB0");
    EXPECT_EQ(list->toolTip().toStdString(), "FTDI FT232R USB UART, serial A10K3XYZ");
    EXPECT_GE(list->view()->minimumWidth(),
              QFontMetrics(list->view()->font())
                  .horizontalAdvance(
                      QStringLiteral("/dev/ttyUSB0  FTDI FT232R USB UART, serial A10K3XYZ")))
        << "the drop-down is wide enough to read the description";
    EXPECT_EQ(Ok().settings.port, "/dev/ttyUSB0");
}

// With no port present the configured one is still what OK stores; with
// none configured either nothing is selected.
TEST_F(CommsTest, NoPortPresentLeavesThePortUnchanged) {
    ports_.clear();
    for (const char* port : {"COM1", ""}) {
        SCOPED_TRACE(port);
        ConfigureValues values = Defaults();
        values.settings.port = port;
        Open(values);
        GoTo("Comms");
        EXPECT_EQ(Entries("portList"), *port ? Strings{"COM1  (not present)"} : Strings{});
        EXPECT_EQ(Find<QComboBox>("portList")->currentIndex(), *port ? 0 : -1);
        EXPECT_EQ(Ok().settings.port, port);
    }
}

TEST_F(CommsTest, PortsAreProbedOnceWhenThePageIsFirstShown) {
    ConfigureValues values = Defaults();
    Open(values);
    EXPECT_EQ(probes_, 0) << "the sheet opens on Parts";
    GoTo("Comms");
    GoTo("Parts");
    GoTo("Comms");
    EXPECT_EQ(probes_, 1);
}

TEST_F(CommsTest, OffersTheTenRatesInOrder) {
    Open(Defaults());
    GoTo("Comms");
    EXPECT_EQ(Entries("baudList"), (Strings{"300", "600", "1200", "2400", "4800", "9600", "19200",
                                            "38400", "115200", "230400"}));
    EXPECT_EQ(Current("baudList"), "9600");
}

// A rate that is not offered is shown as itself, where it belongs by value,
// and OK keeps it unless another is picked.
TEST_F(CommsTest, ARateNotOfferedIsShownAsItselfAndKept) {
    struct Case {
        const char* baud;
        int position;
    };
    for (const Case& c : {Case{"57600", 8}, Case{"460800", 10}, Case{"110", 0}, Case{"fast", 10}}) {
        SCOPED_TRACE(c.baud);
        ConfigureValues values = Defaults();
        values.settings.baud = c.baud;
        Open(values);
        GoTo("Comms");
        ASSERT_EQ(Entries("baudList").size(), 11u);
        EXPECT_EQ(Entries("baudList")[c.position], c.baud);
        EXPECT_EQ(Current("baudList"), c.baud);
        EXPECT_EQ(Ok().settings.baud, c.baud);
    }
}

TEST_F(CommsTest, APickedRateReplacesOneNotOffered) {
    ConfigureValues values = Defaults();
    values.settings.baud = "57600";
    Open(values);
    GoTo("Comms");
    Pick("baudList", "115200");
    EXPECT_EQ(Ok().settings.baud, "115200");
}

// A sysfs tree as Linux lays it out for a USB adapter, a CDC-ACM board and a
// built-in UART.
class SysfsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/talvex-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    // A tty whose "device" link points at devicePath (below root/devices).
    void Tty(const std::string& name, const std::string& devicePath) {
        const auto device = root_ / "devices" / devicePath;
        std::filesystem::create_directories(device);
        std::filesystem::create_directories(root_ / "class" / "tty" / name);
        std::filesystem::create_directory_symlink(device,
                                                  root_ / "class" / "tty" / name / "device");
    }
    void Field(const std::string& dir, const std::string& file, const std::string& text) {
        std::filesystem::create_directories(root_ / "devices" / dir);
        std::ofstream(root_ / "devices" / dir / file, std::ios::binary) << text;
    }
    std::string Describe(const std::string& tty) const {
        return DescribeTtyFromSysfs(root_.string(), tty);
    }
    std::filesystem::path root_;
};

TEST_F(SysfsTest, DescribesUsbAdaptersByMakerProductAndSerial) {
    Tty("ttyUSB0", "pci0/usb1/1-2/1-2:1.0/ttyUSB0");
    Field("pci0/usb1/1-2", "idVendor", "0403\n");
    Field("pci0/usb1/1-2", "idProduct", "6001\n");
    Field("pci0/usb1/1-2", "manufacturer", "FTDI\n");
    Field("pci0/usb1/1-2", "product", "FT232R USB UART\n");
    Field("pci0/usb1/1-2", "serial", "A10K3XYZ\n");
    Tty("ttyACM0", "pci0/usb1/1-3/1-3:1.0");
    Field("pci0/usb1/1-3", "idVendor", "2e8a\n");
    Field("pci0/usb1/1-3", "idProduct", "000a\n");
    Field("pci0/usb1/1-3", "manufacturer", "Raspberry Pi\n");
    Field("pci0/usb1/1-3", "product", "Raspberry Pi Pico\n");
    Tty("ttyUSB1", "pci0/usb1/1-4/1-4:1.0/ttyUSB1");
    Field("pci0/usb1/1-4", "idVendor", "1a86\n");
    Field("pci0/usb1/1-4", "idProduct", "7523\n");
    Tty("ttyS0", "platform/serial8250/tty/ttyS0");
    Field("pci0/usb1", "idVendor", "1d6b\n"); // the root hub must not be taken

    EXPECT_EQ(Describe("ttyUSB0"), "FTDI FT232R USB UART, serial A10K3XYZ");
    EXPECT_EQ(Describe("ttyACM0"), "Raspberry Pi Pico") << "no maker twice";
    EXPECT_EQ(Describe("ttyUSB1"), "USB 1a86:7523") << "a chip without strings";
    EXPECT_EQ(Describe("ttyS0"), "");
    EXPECT_EQ(Describe("ttyUSB9"), "") << "no such tty";
    EXPECT_EQ(Describe("../devices"), "");
}

TEST_F(SysfsTest, DeviceStringsAreCutShortAndMadePrintable) {
    Tty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0");
    Field("usb1/1-1", "idVendor", "0403");
    Field("usb1/1-1", "manufacturer", std::string("Ev\x01l\x1b[2J", 8));
    Field("usb1/1-1", "product", std::string(200, 'P'));
    const std::string text = Describe("ttyUSB0");
    EXPECT_EQ(text, "Ev?l?[2J " + std::string(64, 'P'));
}

} // namespace
} // namespace talvex::testing
