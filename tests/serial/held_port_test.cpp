// A port held open from one board to the next: each download's Open and
// Close must leave the device open, drop what the board before left on the
// line, follow changed settings, and let go of a device that failed.

#include <gtest/gtest.h>

#include "held_port.h"

namespace talvex {
namespace {

// Counts what reaches the device; reads and writes fail on request.
class CountingDevice final : public ISerialPort {
public:
    struct Counts {
        int opens = 0;
        int closes = 0;
        int purges = 0;
        bool open = false;
        bool failTransfers = false;
        std::string port;
        std::string baud;
        const std::atomic<bool>* stop = nullptr;
    };
    explicit CountingDevice(Counts& counts) : c_(counts) {}

    bool Open(const std::string& port, const std::string& baud) override {
        if (c_.open || port == "missing") return false;
        ++c_.opens;
        c_.open = true;
        c_.port = port;
        c_.baud = baud;
        return true;
    }
    bool Close() override {
        ++c_.closes;
        c_.open = false;
        return true;
    }
    bool IsOpen() const override { return c_.open; }
    bool Read(std::uint8_t*, std::size_t, std::size_t& received) override {
        received = 0;
        return !c_.failTransfers;
    }
    bool Write(const std::uint8_t*, std::size_t count, std::size_t& written) override {
        written = c_.failTransfers ? 0 : count;
        return !c_.failTransfers;
    }
    bool Purge(PurgeWhat) override {
        ++c_.purges;
        return true;
    }
    PortStatus LastStatus() const override {
        return c_.failTransfers ? PortStatus::HungUp : PortStatus::Ok;
    }
    void SetStopFlag(const std::atomic<bool>* stop) override { c_.stop = stop; }

private:
    Counts& c_;
};

struct Line {
    CountingDevice::Counts counts;
    std::shared_ptr<HeldLine> held =
        std::make_shared<HeldLine>(std::make_unique<CountingDevice>(counts));
};

TEST(HeldPort, BoardAfterBoardOpensTheDeviceOnceAndPurgesItForEachBoard) {
    Line line;
    for (int board = 1; board <= 3; ++board) {
        SCOPED_TRACE(board);
        HeldPort port(line.held);
        ASSERT_TRUE(port.Open("/dev/ttyUSB0", "115200"));
        EXPECT_TRUE(port.IsOpen());
        std::uint8_t buffer[4];
        std::size_t received = 0;
        EXPECT_TRUE(port.Read(buffer, 3, received));
        EXPECT_TRUE(port.Close());
        EXPECT_FALSE(port.IsOpen());
        EXPECT_TRUE(line.counts.open) << "the device stays open between boards";
    }
    EXPECT_EQ(line.counts.opens, 1);
    EXPECT_EQ(line.counts.closes, 0);
    // Every board after the first starts on a clean line.
    EXPECT_EQ(line.counts.purges, 2);
    EXPECT_FALSE(line.held->Lost());
}

TEST(HeldPort, ChangedSettingsOpenTheDeviceAfresh) {
    Line line;
    {
        HeldPort first(line.held);
        ASSERT_TRUE(first.Open("/dev/ttyUSB0", "115200"));
        first.Close();
    }
    HeldPort second(line.held);
    ASSERT_TRUE(second.Open("/dev/ttyUSB0", "9600"));
    EXPECT_EQ(line.counts.opens, 2);
    EXPECT_EQ(line.counts.closes, 1);
    EXPECT_EQ(line.counts.baud, "9600");
}

TEST(HeldPort, FailedTransferOrOpenLosesTheLineAndReleasesTheDevice) {
    struct Case {
        const char* name;
        bool failRead;
        bool failWrite;
        const char* port;
    };
    const Case cases[] = {
        {"read fails", true, false, "/dev/ttyUSB0"},
        {"write fails", false, true, "/dev/ttyUSB0"},
        {"open fails", false, false, "missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        HeldPort port(line.held);
        if (!port.Open(c.port, "115200")) {
            EXPECT_TRUE(line.held->Lost());
            continue;
        }
        line.counts.failTransfers = true;
        std::uint8_t byte = 0x08;
        std::size_t moved = 0;
        if (c.failRead) {
            EXPECT_FALSE(port.Read(&byte, 1, moved));
        }
        if (c.failWrite) {
            EXPECT_FALSE(port.Write(&byte, 1, moved));
        }
        EXPECT_TRUE(line.held->Lost());
        port.Close();
        EXPECT_FALSE(line.counts.open) << "a failed device is let go";
    }
}

TEST(HeldPort, TheDownloadsStopFlagIsTakenBackWhenItEnds) {
    Line line;
    std::atomic<bool> stop{false};
    {
        HeldPort port(line.held);
        port.SetStopFlag(&stop);
        EXPECT_EQ(line.counts.stop, &stop);
    }
    EXPECT_EQ(line.counts.stop, nullptr);
}

} // namespace
} // namespace talvex
