// The real POSIX backend over a pseudo-terminal, with the test as the target.

#include "pty_pair.h"
#include "serial_port.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using Clock = std::chrono::steady_clock;

// How far past its time-out a call may return on a loaded 2-core CI box.
constexpr auto kLateness = 80ms;

long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int OpenFdCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr)
            ++n;
        ::closedir(d);
    }
    return n;
}

class PortOnPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()); }
    void OpenAt(const std::string& baud) { ASSERT_TRUE(port.Open(pty.SlavePath(), baud)); }

    PtyPair pty;
    CSerialPort port;
};

// --- names, rates and time-outs ------------------------------------------

TEST(SerialPortNames, MapToDevicePaths)
{
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyS0"},          {"COM12", "/dev/ttyS11"},
        {"com3", "/dev/ttyS2"},          {"/dev/pts/3", "/dev/pts/3"},
        {"/dev/serial/by-id/x", "/dev/serial/by-id/x"},
        {"ttyUSB0", "/dev/ttyUSB0"},     {"COM0", "/dev/COM0"},
        {"COMx", "/dev/COMx"},           {"COM", "/dev/COM"},
    };
    for (const auto& [name, path] : cases)
        EXPECT_EQ(CSerialPort::DevicePath(name), path) << name;
}

TEST(SerialPortBaud, AcceptsOnlyPositiveDecimalIntegersOf32Bits)
{
    const std::pair<const char*, std::uint32_t> good[] = {
        {"9600", 9600}, {"300", 300}, {"1", 1}, {"09600", 9600}, {"4294967295", 4294967295u}};
    for (const auto& [text, value] : good) {
        std::uint32_t baud = 0;
        EXPECT_TRUE(ParseBaud(text, baud)) << text;
        EXPECT_EQ(baud, value) << text;
    }
    for (const char* text : {"", "0", "-5", "96x", "99999999999", "4294967296", " 9600", "9600 ",
                             "+9600", "0x2580", "9.6"}) {
        std::uint32_t baud = 77;
        EXPECT_FALSE(ParseBaud(text, baud)) << '"' << text << '"';
        EXPECT_EQ(baud, 77u) << text;
    }
}

TEST(SerialPortTimeouts, FollowTheFormulaForEveryOfferedRate)
{
    // Whole 24-byte reads for the rates the Comms page offers.
    const std::pair<std::uint32_t, std::uint32_t> reads[] = {
        {300, 6835}, {600, 3430},  {1200, 1715},  {2400, 858},    {4800, 441},
        {9600, 233}, {19200, 129}, {38400, 77},   {115200, 42},   {230400, 33}};
    for (const auto& [baud, ms] : reads)
        EXPECT_EQ(CSerialPort::ReadTimeoutMs(baud, 24), ms) << baud;
    EXPECT_EQ(CSerialPort::ReadTimeoutMs(9600, 1), 210u);
    EXPECT_EQ(CSerialPort::ReadTimeoutMs(9600, 0), 210u - 1u);
    EXPECT_EQ(CSerialPort::WriteTimeoutMs(25), 5250u);
    EXPECT_EQ(CSerialPort::WriteTimeoutMs(0), 5000u);
    // No overflow for absurd counts.
    EXPECT_EQ(CSerialPort::ReadTimeoutMs(300, std::size_t{1} << 40), 0xFFFFFFFFu);
}

// --- Open and Close ------------------------------------------------------

TEST_F(PortOnPty, BadBaudRefusesOpenWithoutTouchingTheDevice)
{
    const int fdsBefore = OpenFdCount();
    for (const char* baud : {"", "0", "-5", "96x", "99999999999"}) {
        EXPECT_FALSE(port.Open(pty.SlavePath(), baud)) << '"' << baud << '"';
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_TRUE(port.Open(pty.SlavePath(), "9600"));
}

TEST(SerialPortOpen, MissingDeviceOrNonTerminalFailsAndReleasesEverything)
{
    CSerialPort port;
    const int fdsBefore = OpenFdCount();
    // /dev/null opens fine but is no terminal: the later steps refuse it.
    for (const char* name : {"/dev/null", "/dev/talvex-no-such-port", "", "COM99"}) {
        EXPECT_FALSE(port.Open(name, "9600")) << name;
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST_F(PortOnPty, AppliesRawEightNoneOneWithoutFlowControlAtEveryOfferedRate)
{
    const std::pair<const char*, speed_t> rates[] = {
        {"300", B300},     {"600", B600},     {"1200", B1200},     {"2400", B2400},
        {"4800", B4800},   {"9600", B9600},   {"19200", B19200},   {"38400", B38400},
        {"115200", B115200}, {"230400", B230400}};
    for (const auto& [text, code] : rates) {
        ASSERT_TRUE(port.Open(pty.SlavePath(), text)) << text;
        termios t{};
        ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), code) << text;
        EXPECT_EQ(::cfgetispeed(&t), code) << text;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                  tcflag_t(CS8 | CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_TRUE(port.Close());
    }
}

TEST_F(PortOnPty, NonStandardRateIsSetExactlyAndDrivesTheTimeouts)
{
    // The pty driver stores any rate handed to it through termios2.
    OpenAt("250000");
    EXPECT_EQ(test::KernelOutputSpeed(pty.SlaveFd()), 250000u);
    std::uint8_t buf[4] = {};
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(port.Read(buf, 1, got));
    // (2000000 / 250000 + 1) + (2000 / 250000 + 1) = 10 ms
    EXPECT_GE(ElapsedMs(start), 10);
    EXPECT_LT(Clock::now() - start, 10ms + kLateness);
}

TEST_F(PortOnPty, SecondOpenWhileOpenFailsAndLeavesThePortUsable)
{
    OpenAt("115200");
    EXPECT_FALSE(port.Open(pty.SlavePath(), "115200"));
    EXPECT_FALSE(port.Open("/dev/null", "9600"));
    EXPECT_TRUE(port.IsOpen());
    ASSERT_TRUE(pty.Send({0x41, 0x42}));
    std::uint8_t buf[3] = {};
    std::size_t got = 0;
    EXPECT_TRUE(port.Read(buf, 2, got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[0], 0x41);
}

TEST_F(PortOnPty, BusyPortRefusesASecondInstanceAndFreesOnClose)
{
    OpenAt("115200");
    CSerialPort other;
    EXPECT_FALSE(other.Open(pty.SlavePath(), "115200"));
    EXPECT_FALSE(other.IsOpen());
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(other.Open(pty.SlavePath(), "115200"));
}

TEST_F(PortOnPty, BusyPortRefusesAnotherProcessEvenAsRoot)
{
    OpenAt("115200");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSerialPort other;
        const auto start = Clock::now();
        const bool opened = other.Open(pty.SlavePath(), "115200");
        // 0: refused at once; 1: opened; 2: refused only after a wait.
        ::_exit(opened ? 1 : (Clock::now() - start > 500ms ? 2 : 0));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(PortOnPty, CloseReportsWhetherThePortWasOpenAndStaysSilent)
{
    std::vector<std::string> messages;
    port.SetMessageHandler([&](const std::string& m) { messages.push_back(m); });
    EXPECT_FALSE(port.Close()); // never opened
    OpenAt("9600");
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Close()); // closed already
    EXPECT_TRUE(messages.empty());
    // Nothing works on a closed port, and nothing crashes either.
    std::uint8_t buf[2] = {};
    std::size_t n = 9;
    EXPECT_FALSE(port.Read(buf, 1, n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(port.Write(buf, 1, n));
    EXPECT_FALSE(port.Purge(PurgeWhat::All));
}

TEST_F(PortOnPty, DestructorReleasesAnOpenDevice)
{
    {
        CSerialPort scoped;
        ASSERT_TRUE(scoped.Open(pty.SlavePath(), "9600"));
    }
    EXPECT_TRUE(port.Open(pty.SlavePath(), "9600"));
}

// --- Read ----------------------------------------------------------------

struct SilentRead {
    const char* baud;
    std::size_t count;
    long expectMs;
};

TEST_F(PortOnPty, SilentReadTakesTheFormulaTimeAndLeavesTheBufferUntouched)
{
    const SilentRead cases[] = {
        {"230400", 1, 10}, {"230400", 24, 33}, {"115200", 24, 42}, {"38400", 1, 54}, {"9600", 1, 210}};
    for (const SilentRead& c : cases) {
        ASSERT_TRUE(port.Open(pty.SlavePath(), c.baud));
        std::uint8_t buf[32];
        std::fill(std::begin(buf), std::end(buf), 0xA5);
        std::size_t got = 99;
        const auto start = Clock::now();
        EXPECT_TRUE(port.Read(buf, c.count, got)) << c.baud;
        const auto took = Clock::now() - start;
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
        EXPECT_GE(took, std::chrono::milliseconds(c.expectMs)) << c.baud << " x" << c.count;
        EXPECT_LT(took, std::chrono::milliseconds(c.expectMs) + kLateness) << c.baud;
        for (std::uint8_t b : buf)
            ASSERT_EQ(b, 0xA5);
        ASSERT_TRUE(port.Close());
    }
}

TEST_F(PortOnPty, PartialReadGivesTheBytesAndANulBehindThemAfterTheTimeout)
{
    OpenAt("115200");
    const std::vector<std::uint8_t> sent = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(pty.Send(sent));
    std::uint8_t buf[25];
    std::fill(std::begin(buf), std::end(buf), 0xA5);
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(port.Read(buf, 24, got));
    const auto took = Clock::now() - start;
    ASSERT_EQ(got, 10u);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 10), sent);
    EXPECT_EQ(buf[10], 0);
    EXPECT_EQ(buf[11], 0xA5);
    EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
    EXPECT_GE(took, 42ms);
    EXPECT_LT(took, 42ms + kLateness);
}

TEST_F(PortOnPty, ReadReturnsAsSoonAsAllBytesArriveEvenInPieces)
{
    OpenAt("300"); // a 24-byte read would wait 6835 ms
    std::thread target([&] {
        for (std::uint8_t piece = 0; piece < 3; ++piece) {
            std::this_thread::sleep_for(15ms);
            pty.Send(std::vector<std::uint8_t>(8, static_cast<std::uint8_t>('a' + piece)));
        }
    });
    std::uint8_t buf[25] = {};
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(port.Read(buf, 24, got));
    const auto took = Clock::now() - start;
    target.join();
    ASSERT_EQ(got, 24u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "aaaaaaaabbbbbbbbcccccccc");
    EXPECT_EQ(port.LastStatus(), PortStatus::Ok);
    EXPECT_LT(took, 45ms + 1000ms);
}

TEST_F(PortOnPty, HangUpEndsABlockedReadAtOnce)
{
    OpenAt("300");
    std::thread unplug([&] {
        std::this_thread::sleep_for(50ms);
        pty.CloseMaster();
    });
    std::uint8_t buf[25] = {};
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(port.Read(buf, 24, got));
    const auto took = Clock::now() - start;
    unplug.join();
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
    EXPECT_LT(took, 50ms + 1000ms); // far below the 6835 ms time-out
    // Every later call fails at once, too.
    EXPECT_FALSE(port.Read(buf, 1, got));
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
    EXPECT_FALSE(port.Write(buf, 1, got));
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
    EXPECT_TRUE(port.Close());
}

TEST_F(PortOnPty, BytesThatCameBeforeAHangUpAreKept)
{
    OpenAt("300");
    std::thread target([&] {
        pty.Send({0x11, 0x22, 0x33});
        // Pull the plug only once the port has taken the bytes: a hang-up
        // makes the kernel drop whatever is still queued.
        int queued = 1;
        const auto limit = Clock::now() + 5s;
        while (Clock::now() < limit && ::ioctl(pty.SlaveFd(), FIONREAD, &queued) == 0 && queued > 0)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(5ms);
        pty.CloseMaster();
    });
    std::uint8_t buf[25];
    std::fill(std::begin(buf), std::end(buf), 0xA5);
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(port.Read(buf, 24, got));
    const auto took = Clock::now() - start;
    target.join();
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
    EXPECT_LT(took, 3000ms);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(buf[2], 0x33);
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(buf[4], 0xA5);
}

// --- Write and Purge -----------------------------------------------------

TEST_F(PortOnPty, WriteSendsEveryByteUnchanged)
{
    OpenAt("115200");
    // Bytes a cooked terminal would mangle: CR, LF, XON, XOFF, DEL, 0xFF.
    std::vector<std::uint8_t> data = {0x07, 0x0E, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0xFF, 0x00, 0x03};
    for (int i = 0; i < 246; ++i)
        data.push_back(static_cast<std::uint8_t>(i));
    std::size_t written = 0;
    EXPECT_TRUE(port.Write(data.data(), data.size(), written));
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(port.LastStatus(), PortStatus::Ok);
    EXPECT_EQ(pty.Receive(data.size(), 1000ms), data);
}

TEST_F(PortOnPty, ReceivedBytesArriveUnchanged)
{
    OpenAt("115200");
    const std::vector<std::uint8_t> data = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0xFF, 0x00, 0x06};
    ASSERT_TRUE(pty.Send(data));
    std::uint8_t buf[11] = {};
    std::size_t got = 0;
    EXPECT_TRUE(port.Read(buf, data.size(), got));
    ASSERT_EQ(got, data.size());
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + got), data);
}

TEST_F(PortOnPty, WriteToAStalledLineGivesUpAfterItsTimeout)
{
    OpenAt("115200");
    // Fill the line until the kernel takes no more; the target never reads.
    const int flags = ::fcntl(pty.SlaveFd(), F_GETFL);
    ASSERT_EQ(::fcntl(pty.SlaveFd(), F_SETFL, flags | O_NONBLOCK), 0);
    const std::vector<std::uint8_t> chunk(4096, 0x55);
    // The kernel moves queued bytes on to the master in the background, so
    // the line only counts as full once several rounds take nothing more.
    for (int idleRounds = 0; idleRounds < 5;) {
        bool tookAny = false;
        while (::write(pty.SlaveFd(), chunk.data(), chunk.size()) > 0)
            tookAny = true;
        idleRounds = tookAny ? 0 : idleRounds + 1;
        std::this_thread::sleep_for(20ms);
    }
    std::uint8_t one = 0x42;
    std::size_t written = 9;
    const auto start = Clock::now();
    EXPECT_TRUE(port.Write(&one, 1, written));
    const auto took = Clock::now() - start;
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
    EXPECT_GE(took, 5010ms);
    EXPECT_LT(took, 5010ms + kLateness + 200ms);
}

// A pty has no output queue of its own (written bytes sit on the other side
// at once), so only the input side of a purge can be seen here.
struct PurgeCase {
    PurgeWhat what;
    std::size_t inputLeft;
};

TEST_F(PortOnPty, PurgeAllDropsPendingInputAndPurgeOutputKeepsIt)
{
    for (const PurgeCase c : {PurgeCase{PurgeWhat::Output, 2}, PurgeCase{PurgeWhat::All, 0}}) {
        OpenAt("230400");
        ASSERT_TRUE(pty.Send({0x61, 0x62}));
        // Wait until the input sits on the port's side before purging.
        pollfd p{pty.SlaveFd(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 1000), 1);
        EXPECT_TRUE(port.Purge(c.what));
        std::uint8_t buf[3] = {0xA5, 0xA5, 0xA5};
        std::size_t n = 9;
        EXPECT_TRUE(port.Read(buf, 2, n));
        EXPECT_EQ(n, c.inputLeft);
        EXPECT_EQ(buf[0], c.inputLeft ? 0x61 : 0xA5);
        ASSERT_TRUE(port.Close());
    }
}

TEST(SerialPortList, StandardPortsComeFirstAndTheOrderIsStable)
{
    const std::vector<std::string> first = ListPorts();
    EXPECT_EQ(ListPorts(), first);
    bool pastStandard = false;
    for (const std::string& name : first) {
        const bool standard = name.rfind("COM", 0) == 0;
        EXPECT_TRUE(standard || name.rfind("/dev/tty", 0) == 0) << name;
        if (!standard)
            pastStandard = true;
        EXPECT_FALSE(standard && pastStandard) << name;
        // Every listed port must really open now.
        CSerialPort p;
        EXPECT_TRUE(p.Open(name, "9600")) << name;
    }
}

} // namespace
} // namespace talvex
