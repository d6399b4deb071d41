// The real POSIX backend over a pseudo-terminal, with the test as the target.

#include "pty_pair.h"
#include "serial_port.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// How far past its time-out a call may return on a loaded 2-core CI box.
constexpr auto kLateness = 80ms;

int OpenFdCount() {
    int n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (d != nullptr && ::readdir(d) != nullptr) ++n;
    if (d != nullptr) ::closedir(d);
    return n;
}

TEST(SerialPortNames, MapToDevicePaths) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyS0"},       {"COM12", "/dev/ttyS11"},    {"com3", "/dev/ttyS2"},
        {"/dev/pts/3", "/dev/pts/3"}, {"ttyUSB0", "/dev/ttyUSB0"}, {"COM0", "/dev/COM0"},
        {"COMx", "/dev/COMx"}};
    for (const auto& [name, path] : cases) EXPECT_EQ(CSerialPort::DevicePath(name), path) << name;
}

TEST(SerialPortBaud, AcceptsOnlyPositiveDecimalIntegersOf32Bits) {
    std::uint32_t baud = 0;
    EXPECT_TRUE(ParseBaud("09600", baud));
    EXPECT_EQ(baud, 9600u);
    EXPECT_TRUE(ParseBaud("4294967295", baud));
    EXPECT_EQ(baud, 4294967295u);
    for (const char* text : {"", "0", "-5", "96x", "99999999999", "4294967296", " 9600", "+9600"})
        EXPECT_FALSE(ParseBaud(text, baud)) << '"' << text << '"';
}

TEST(SerialPortTimeouts, FollowTheFormulaForEveryOfferedRate) {
    const std::pair<std::uint32_t, std::uint32_t> wholeReads[] = {
        {300, 6835}, {600, 3430},  {1200, 1715}, {2400, 858},  {4800, 441},
        {9600, 233}, {19200, 129}, {38400, 77},  {115200, 42}, {230400, 33}};
    for (const auto& [baud, ms] : wholeReads)
        EXPECT_EQ(CSerialPort::ReadTimeoutMs(baud, 24), ms) << baud;
    EXPECT_EQ(CSerialPort::ReadTimeoutMs(9600, 1), 210u);
    EXPECT_EQ(CSerialPort::WriteTimeoutMs(25), 5250u);
    EXPECT_EQ(CSerialPort::ReadTimeoutMs(300, std::size_t{1} << 40), 0xFFFFFFFFu); // no overflow
}

class PortOnPty : public ::testing::Test {
protected:
    void OpenAt(const char* baud) { ASSERT_TRUE(port.Open(pty.SlavePath(), baud)) << baud; }
    // Reads and reports how long it took.
    Clock::duration TimedRead(std::uint8_t* buf, std::size_t count, std::size_t& got,
                              bool expect = true) {
        const auto start = Clock::now();
        EXPECT_EQ(port.Read(buf, count, got), expect);
        return Clock::now() - start;
    }

    test::PtyPair pty;
    CSerialPort port;
};

TEST_F(PortOnPty, RefusedOpensReleaseEverythingAndLeaveThePortClosed) {
    const int fdsBefore = OpenFdCount();
    for (const char* baud : {"", "0", "-5", "96x", "99999999999"})
        EXPECT_FALSE(port.Open(pty.SlavePath(), baud)) << '"' << baud << '"';
    // /dev/null opens but is no terminal, so a later step refuses it.
    for (const char* name : {"/dev/null", "/dev/talvex-no-such-port", ""})
        EXPECT_FALSE(port.Open(name, "9600")) << name;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST_F(PortOnPty, AppliesRawEightNoneOneWithoutFlowControlAtEveryOfferedRate) {
    const std::pair<const char*, speed_t> rates[] = {
        {"300", B300},       {"600", B600},      {"1200", B1200},   {"2400", B2400},
        {"4800", B4800},     {"9600", B9600},    {"19200", B19200}, {"38400", B38400},
        {"115200", B115200}, {"230400", B230400}};
    for (const auto& [text, code] : rates) {
        OpenAt(text);
        termios t{};
        ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), code) << text;
        EXPECT_EQ(::cfgetispeed(&t), code) << text;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                  tcflag_t(CS8 | CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
        EXPECT_TRUE(port.Close());
    }
}

TEST_F(PortOnPty, NonStandardRateIsSetExactlyAndDrivesTheTimeout) {
    OpenAt("250000"); // the pty driver keeps any rate given through termios2
    EXPECT_EQ(test::KernelOutputSpeed(pty.SlaveFd()), 250000u);
    std::uint8_t buf[2];
    std::size_t got = 0;
    const auto took = TimedRead(buf, 1, got); // (8 + 1) + (0 + 1) ms
    EXPECT_GE(took, 10ms);
    EXPECT_LT(took, 10ms + kLateness);
}

TEST_F(PortOnPty, OpenWhileOpenAndOpenOfABusyPortFailAndLeaveTheHolderWorking) {
    OpenAt("115200");
    EXPECT_FALSE(port.Open(pty.SlavePath(), "115200"));
    CSerialPort other;
    EXPECT_FALSE(other.Open(pty.SlavePath(), "115200"));
    // Another process, running as root like the CI, is refused at once too.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSerialPort third;
        const auto start = Clock::now();
        const bool opened = third.Open(pty.SlavePath(), "115200");
        ::_exit(opened ? 1 : (Clock::now() - start > 500ms ? 2 : 0));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    ASSERT_TRUE(port.IsOpen());
    ASSERT_TRUE(pty.Send({0x41, 0x42}));
    std::uint8_t buf[3] = {};
    std::size_t got = 0;
    EXPECT_TRUE(port.Read(buf, 2, got));
    EXPECT_EQ(got, 2u);
    {
        CSerialPort scoped; // its destructor must let go of the device
        EXPECT_TRUE(port.Close());
        EXPECT_TRUE(scoped.Open(pty.SlavePath(), "9600"));
    }
    EXPECT_TRUE(other.Open(pty.SlavePath(), "9600"));
}

TEST_F(PortOnPty, CloseReportsWhetherThePortWasOpenAndStaysSilent) {
    std::vector<std::string> messages;
    port.SetMessageHandler([&](const std::string& m) { messages.push_back(m); });
    EXPECT_FALSE(port.Close());
    OpenAt("9600");
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.Close());
    EXPECT_TRUE(messages.empty());
    std::uint8_t buf[2] = {};
    std::size_t n = 9;
    EXPECT_FALSE(port.Read(buf, 1, n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(port.Write(buf, 1, n));
    EXPECT_FALSE(port.Purge(PurgeWhat::All));
}

TEST_F(PortOnPty, SilentReadTakesTheFormulaTimeAndLeavesTheBufferUntouched) {
    const struct {
        const char* baud;
        std::size_t count;
        int ms;
    } cases[] = {{"230400", 1, 10},
                 {"230400", 24, 33},
                 {"115200", 24, 42},
                 {"38400", 1, 54},
                 {"9600", 1, 210}};
    for (const auto& c : cases) {
        OpenAt(c.baud);
        Bytes buf(32, 0xA5);
        std::size_t got = 99;
        const auto took = TimedRead(buf.data(), c.count, got);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
        EXPECT_GE(took, std::chrono::milliseconds(c.ms)) << c.baud << " x" << c.count;
        EXPECT_LT(took, std::chrono::milliseconds(c.ms) + kLateness) << c.baud << " x" << c.count;
        EXPECT_EQ(buf, Bytes(32, 0xA5));
        ASSERT_TRUE(port.Close());
    }
}

TEST_F(PortOnPty, PartialReadGivesTheBytesUnchangedWithANulBehindAfterTheTimeout) {
    OpenAt("115200");
    // Bytes a cooked terminal would mangle: CR, LF, XON, XOFF, ^C, ^Z, DEL.
    const Bytes sent = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xFF, 0x00, 0x06};
    ASSERT_TRUE(pty.Send(sent));
    Bytes buf(25, 0xA5);
    std::size_t got = 0;
    const auto took = TimedRead(buf.data(), 24, got);
    ASSERT_EQ(got, 10u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 10), sent);
    EXPECT_EQ(buf[10], 0);
    EXPECT_EQ(buf[11], 0xA5);
    EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
    EXPECT_GE(took, 42ms);
    EXPECT_LT(took, 42ms + kLateness);
}

TEST_F(PortOnPty, ReadReturnsAsSoonAsAllBytesArriveEvenInPieces) {
    OpenAt("300"); // a 24-byte read may wait 6835 ms
    std::thread target([&] {
        for (char piece : {'a', 'b', 'c'}) {
            std::this_thread::sleep_for(15ms);
            pty.Send(Bytes(8, static_cast<std::uint8_t>(piece)));
        }
    });
    std::uint8_t buf[25] = {};
    std::size_t got = 0;
    const auto took = TimedRead(buf, 24, got);
    target.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "aaaaaaaabbbbbbbbcccccccc");
    EXPECT_EQ(port.LastStatus(), PortStatus::Ok);
    EXPECT_LT(took, 1000ms);
}

TEST_F(PortOnPty, HangUpEndsABlockedReadAtOnceAndKeepsWhatCameBefore) {
    OpenAt("300");
    std::thread unplug([&] {
        pty.Send({0x11, 0x22, 0x33});
        // Unplug only once the port has the bytes: a hang-up makes the kernel
        // drop whatever is still queued.
        int queued = 1;
        for (int i = 0; i < 5000 && ::ioctl(pty.SlaveFd(), FIONREAD, &queued) == 0 && queued > 0;
             ++i)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(20ms);
        pty.CloseMaster();
    });
    Bytes buf(25, 0xA5);
    std::size_t got = 0;
    const auto took = TimedRead(buf.data(), 24, got, false);
    unplug.join();
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
    EXPECT_LT(took, 3000ms); // far below the 6835 ms time-out
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 5), (Bytes{0x11, 0x22, 0x33, 0x00, 0xA5}));
    EXPECT_EQ(got, 3u);
    // Every later call fails at once as well.
    EXPECT_FALSE(port.Read(buf.data(), 1, got));
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
    EXPECT_FALSE(port.Write(buf.data(), 1, got));
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
}

TEST_F(PortOnPty, WriteSendsEveryByte) {
    // A line that stops taking bytes: port_wait_test.cpp.
    OpenAt("115200");
    Bytes data(256);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    std::size_t written = 0;
    EXPECT_TRUE(port.Write(data.data(), data.size(), written));
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(port.LastStatus(), PortStatus::Ok);
    EXPECT_EQ(pty.Receive(data.size(), 1000ms), data);
}

TEST_F(PortOnPty, PurgeAllDropsPendingInputAndPurgeOutputKeepsIt) {
    // A pty has no output queue of its own (written bytes sit on the other
    // side at once), so only the input side of a purge shows here.
    for (const auto& [what, left] :
         {std::pair{PurgeWhat::Output, 2u}, std::pair{PurgeWhat::All, 0u}}) {
        OpenAt("230400");
        ASSERT_TRUE(pty.Send({0x61, 0x62}));
        pollfd p{pty.SlaveFd(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 1000), 1); // the input is on the port's side
        EXPECT_TRUE(port.Purge(what));
        std::uint8_t buf[3] = {0xA5, 0xA5, 0xA5};
        std::size_t n = 9;
        EXPECT_TRUE(port.Read(buf, 2, n));
        EXPECT_EQ(n, left);
        EXPECT_EQ(buf[0], left ? 0x61 : 0xA5);
        ASSERT_TRUE(port.Close());
    }
}

} // namespace
} // namespace talvex
