// Ports that explain themselves: the adapter read from a sysfs tree, the
// latency warning, why a port does not open, and the byte trace a support
// engineer reads.

#include "command_frame.h"
#include "port_diagnosis.h"
#include "pty_pair.h"
#include "serial_port.h"
#include "trace_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/stat.h>

namespace talvex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/talvex-diag-XXXXXX";
        path_ = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

void Put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// A sysfs tree as Linux builds it for an FTDI adapter (ttyUSB0 below its USB
// interface), a CDC-ACM board (ttyACM0 is the interface itself) and an
// on-board UART.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path sys = dir_.Path() / "sys";
        const fs::path ftdi = sys / "devices/pci0000:00/usb1/1-2";
        Put(ftdi / "idVendor", "0403");
        Put(ftdi / "idProduct", "6001");
        Put(ftdi / "manufacturer", "FTDI");
        Put(ftdi / "product", "FT232R USB UART");
        Put(ftdi / "serial", "A10K3XYZ");
        Put(ftdi / "1-2:1.0/ttyUSB0/latency_timer", "16");
        const fs::path acm = sys / "devices/pci0000:00/usb1/1-3";
        Put(acm / "idVendor", "2e8a");
        Put(acm / "idProduct", "000a");
        fs::create_directories(acm / "1-3:1.0");
        const fs::path uart = sys / "devices/platform/serial8250/tty/ttyS0";
        fs::create_directories(uart);
        fs::create_directories(sys / "class/tty/ttyUSB0");
        fs::create_directories(sys / "class/tty/ttyACM0");
        fs::create_directories(sys / "class/tty/ttyS0");
        fs::create_directories(sys / "class/tty/pts0");
        fs::create_directory_symlink(ftdi / "1-2:1.0/ttyUSB0", sys / "class/tty/ttyUSB0/device");
        fs::create_directory_symlink(acm / "1-3:1.0", sys / "class/tty/ttyACM0/device");
        fs::create_directory_symlink(uart, sys / "class/tty/ttyS0/device");
        root_ = sys.string();
    }
    TempDir dir_;
    std::string root_;
};

TEST_F(FakeSysfs, DescribesUsbAdaptersAndTheirLatencyTimer) {
    struct Case {
        const char* tty;
        std::string text;
        int latency;
    };
    const Case cases[] = {
        {"ttyUSB0", "FTDI FT232R USB UART (0403:6001), serial A10K3XYZ", 16},
        {"ttyACM0", "USB adapter (2e8a:000a)", -1},
        {"ttyS0", "", -1},
        {"pts0", "", -1},
        {"ttyUSB9", "", -1},
    };
    for (const Case& c : cases) {
        const PortDescription d = DescribeTty(root_, c.tty);
        EXPECT_EQ(d.text, c.text) << c.tty;
        EXPECT_EQ(d.latencyTimerMs, c.latency) << c.tty;
    }
    EXPECT_EQ(DescribeTty(root_, "ttyUSB0").latencyTimerPath,
              fs::canonical(root_ + "/class/tty/ttyUSB0/device").string() + "/latency_timer");
}

TEST(LatencyWarning, WarnsAboveOneMillisecondWithTheRateItAllows) {
    PortDescription d;
    d.latencyTimerPath = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
    for (int ms : {-1, 0, 1})
        EXPECT_EQ(LatencyWarning("/dev/ttyUSB0", (d.latencyTimerMs = ms, d)), "") << ms;
    d.latencyTimerMs = 16;
    EXPECT_EQ(LatencyWarning("/dev/ttyUSB0", d),
              "/dev/ttyUSB0: the USB adapter's latency timer is 16 ms. Every frame waits for it, "
              "so a download of 16-byte records runs at under 1.0 kB/s. As root: echo 1 > "
              "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
    d.latencyTimerMs = 3;
    EXPECT_NE(LatencyWarning("/dev/ttyUSB0", d).find("under 5.4 kB/s"), std::string::npos);
}

TEST(DiagnosePort, TellsWhatIsWrongWithTheName) {
    TempDir dir;
    const std::string file = (dir.Path() / "notes.txt").string();
    Put(file, "x");
    const std::string gone = (dir.Path() / "ttyLINK").string();
    fs::create_symlink(dir.Path() / "vanished", gone);
    const std::string missing = (dir.Path() / "ttyNONE").string();
    struct Case {
        std::string port;
        std::string baud;
        PortProblem problem;
        std::string begins;
    };
    const Case cases[] = {
        {missing, "fast", PortProblem::BadBaud,
         "The baud rate \"fast\" is not a positive whole number."},
        {missing, "0", PortProblem::BadBaud, "The baud rate \"0\""},
        {missing, "9600", PortProblem::Missing, missing + " does not exist. "},
        {gone, "9600", PortProblem::Missing, gone + " is a link to a device that is gone. "},
        {"COM300", "9600", PortProblem::Missing, "COM300 (/dev/ttyS299) does not exist. "},
        {file, "9600", PortProblem::NotSerial, file + " is not a device"},
        {"/dev/null", "9600", PortProblem::NotSerial,
         "/dev/null is a device, but not a serial port."},
        {"", "9600", PortProblem::Missing, "No port is set. "},
    };
    for (const Case& c : cases) {
        const PortDiagnosis d = DiagnosePort(c.port, c.baud);
        EXPECT_EQ(d.problem, c.problem) << c.port << " " << d.text;
        EXPECT_EQ(d.text.rfind(c.begins, 0), 0u) << d.text;
    }
}

TEST(DiagnosePort, AFreePortHasNoProblemAndAHeldOneNamesItsHolder) {
    test::PtyPair pty;
    ASSERT_FALSE(pty.SlavePath().empty());
    EXPECT_EQ(DiagnosePort(pty.SlavePath(), "115200").problem, PortProblem::None);
    CSerialPort holder;
    ASSERT_TRUE(holder.Open(pty.SlavePath(), "115200"));
    // This process holds it; the diagnosis looks at other processes only,
    // so a child asks.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const PortDiagnosis d = DiagnosePort(pty.SlavePath(), "115200");
        const std::string text = std::to_string(static_cast<int>(d.problem)) + "|" +
                                 (d.holders.empty() ? "" : std::to_string(d.holders[0].pid));
        (void)!::write(pipeFds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    char buffer[64] = {};
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer - 1);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer), std::to_string(static_cast<int>(PortProblem::Held)) + "|" +
                                       std::to_string(::getpid()));
}

// A port that plays back a script and keeps nothing else.
class ScriptedPort : public ISerialPort {
public:
    struct Answer {
        Bytes bytes;
        PortStatus status = PortStatus::Ok;
        bool ok = true;
    };
    std::deque<Answer> reads;
    std::deque<Answer> writes; // status of each write; bytes unused
    PortStatus status = PortStatus::Ok;
    bool open = false;

    bool Open(const std::string&, const std::string&) override { return open = true; }
    bool Close() override { return !(open = false); }
    bool IsOpen() const override { return open; }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override {
        Answer a = reads.empty() ? Answer{{}, PortStatus::TimedOut, true} : reads.front();
        if (!reads.empty()) reads.pop_front();
        received = std::min(count, a.bytes.size());
        std::copy(a.bytes.begin(), a.bytes.begin() + static_cast<long>(received), buffer);
        status = a.status;
        return a.ok;
    }
    bool Write(const std::uint8_t*, std::size_t count, std::size_t& written) override {
        Answer a = writes.empty() ? Answer{} : writes.front();
        if (!writes.empty()) writes.pop_front();
        written = a.ok ? count : 0;
        status = a.status;
        return a.ok;
    }
    bool Purge(PurgeWhat) override { return true; }
    PortStatus LastStatus() const override { return status; }
};

class StringSink : public ITraceSink {
public:
    void Write(const std::string& lines) override { text += lines; }
    void Flush() override { ++flushes; }
    std::string text;
    int flushes = 0;
};

// Bytes as hex pairs, then the text column, which begins at the same place
// on every line however many bytes the line holds.
std::string Row(const std::string& hex, const std::string& suffix) {
    return hex + std::string(49 - hex.size(), ' ') + suffix;
}

std::vector<std::string> WithoutTimes(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        // Keep the layout after the time field; continuation lines as they are.
        lines.push_back(line.size() > 14 && line[12] == ' ' && line[13] == ' ' && line[11] != ' '
                            ? line.substr(14)
                            : line);
    }
    return lines;
}

TEST(TracePort, GroupsByCallAndMarksWaitsRepeatsAndFailures) {
    auto sink = std::make_shared<StringSink>();
    auto inner = std::make_unique<ScriptedPort>();
    ScriptedPort& script = *inner;
    const Bytes frame = {0x07, 0x0E, 0x06, 'E', 0x00, 0x00, 0x02, 0x00, 0x01, 0xB2};
    const Bytes other = {0x07, 0x0E, 0x05, 'R', 0x00, 0x00, 0x00, 0x00, 0xAD};
    script.reads = {
        {{}, PortStatus::TimedOut, true},
        {{}, PortStatus::TimedOut, true},
        {{'Z', 'a', 'R', 'Q'}, PortStatus::TimedOut, true},
        {{0x15}},
        {{0x06}},
        {{}, PortStatus::HungUp, false},
    };
    script.writes = {{}, {}, {}, {}, {}, {{}, PortStatus::HungUp, false}};
    {
        TracePort port(std::move(inner), sink);
        std::uint8_t buffer[32];
        std::size_t n = 0;
        const std::uint8_t wake = 0x08;
        port.Open("/dev/ttyX", "9600");
        port.Read(buffer, 24, n);
        port.Write(&wake, 1, n);
        port.Read(buffer, 24, n);
        port.Write(&wake, 1, n);
        port.Read(buffer, 24, n);
        port.Write(frame.data(), frame.size(), n);
        port.Read(buffer, 1, n);
        port.Write(frame.data(), frame.size(), n);
        port.Read(buffer, 1, n);
        port.Write(other.data(), other.size(), n);
        port.Read(buffer, 1, n);
        port.Write(other.data(), other.size(), n);
        port.Close();
    }
    const auto lines = WithoutTimes(sink->text);
    ASSERT_EQ(lines.size(), 11u) << sink->text;
    EXPECT_EQ(lines[0], "* open /dev/ttyX at 9600 baud");
    const std::regex waited(R"(< \(nothing in 2 reads over \d+\.\d ms\), and > 08 sent 2 )"
                            R"(times as wake byte)");
    EXPECT_TRUE(std::regex_match(lines[1], waited)) << lines[1];
    const std::string e = "07 0E 06 45 00 00 02 00 01 B2";
    const std::string r = "07 0E 05 52 00 00 00 00 AD";
    EXPECT_EQ(lines[2], "< " + Row("5A 61 52 51", "ZaRQ  [timed out after 4 of 24 bytes]"));
    EXPECT_EQ(lines[3], "> " + Row(e, "frame E 0x00000200, 1 data byte"));
    EXPECT_EQ(lines[4], "< " + Row("15", "NAK"));
    EXPECT_EQ(lines[5], "> " + Row(e, "frame E 0x00000200, 1 data byte, try 2"));
    EXPECT_EQ(lines[6], "< " + Row("06", "ACK"));
    EXPECT_EQ(lines[7], "> " + Row(r, "frame R 0x00000000, 0 data bytes"));
    EXPECT_EQ(lines[8], "< [hung up after 0 of 1 bytes]");
    EXPECT_EQ(
        lines[9],
        "> " + Row(r, "frame R 0x00000000, 0 data bytes, try 2 [hung up after 0 of 9 bytes]"));
    EXPECT_EQ(lines[10], "* close");
    EXPECT_GE(sink->flushes, 5) << "every answer reaches the file";
}

TEST(TracePort, NotesEveryFrameTheSenderBuildsAndNothingElse) {
    auto sink = std::make_shared<StringSink>();
    auto inner = std::make_unique<ScriptedPort>();
    std::vector<std::string> expected;
    {
        TracePort port(std::move(inner), sink);
        std::size_t n = 0;
        const struct {
            char letter;
            std::uint32_t value;
            std::size_t data;
        } frames[] = {
            {'R', 0x00000000, 0},   {'E', 0x00000200, 1},   {'P', 0xFFFFFFFF, 1},
            {'W', 0x12345678, 128}, {'W', 0x0001FE00, 250}, {'V', 0x00000010, 249},
        };
        for (const auto& f : frames) {
            const Bytes data(f.data, 0x5A);
            const auto frame = CommandFrame::Make(f.letter, f.value, data.data(), data.size());
            ASSERT_TRUE(frame);
            port.Write(frame->Bytes().data(), frame->Bytes().size(), n);
            char note[64];
            std::snprintf(note, sizeof note, "frame %c 0x%08X, %zu data byte%s", f.letter,
                          static_cast<unsigned>(f.value), f.data, f.data == 1 ? "" : "s");
            expected.push_back(note);
        }
        // A frame cut short or with a length that does not fit is no frame;
        // the wake byte and the resync block have notes of their own.
        Bytes cut = CommandFrame::Run(0).Bytes();
        cut.pop_back();
        port.Write(cut.data(), cut.size(), n);
        expected.push_back("");
        Bytes longer = CommandFrame::Run(0).Bytes();
        longer.push_back(0);
        port.Write(longer.data(), longer.size(), n);
        expected.push_back("");
        const std::uint8_t wake = kWakeByte;
        port.Write(&wake, 1, n);
        expected.push_back("wake byte");
        Bytes resync(kResyncBlockSize, 0);
        resync[kResyncZeros] = resync[kResyncZeros + 1] = kFrameStart;
        port.Write(resync.data(), resync.size(), n);
        expected.push_back("resync block");
    }
    const auto lines = WithoutTimes(sink->text);
    std::vector<std::string> notes;
    for (const std::string& line : lines) {
        if (line.rfind("> ", 0) != 0) continue;
        // The note follows the first row of bytes; a row without one ends
        // with its last byte.
        notes.push_back(line.size() > 2 + 49 ? line.substr(2 + 49) : "");
    }
    EXPECT_EQ(notes, expected) << sink->text;
}

TEST(TracePort, LongGroupsGoOnSixteenBytesALine) {
    Bytes bytes(20);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0x41 + i);
    EXPECT_EQ(FormatTraceGroup(1234567, '<', bytes.data(), bytes.size(), ""),
              "     1234567  < " +
                  Row("41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50", "ABCDEFGHIJKLMNOP") +
                  "\n                " + Row("51 52 53 54", "QRST") + "\n");
    EXPECT_EQ(FormatTraceGroup(5, '>', bytes.data(), 17, "note"),
              "           5  > 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  note\n"
              "                51\n");
}

TEST(FileTraceSink, AppendsAndSaysWhyItCannotOpen) {
    TempDir dir;
    const std::string path = (dir.Path() / "t.trace").string();
    Put(path, "earlier");
    std::string whyNot;
    {
        auto sink = FileTraceSink::Open(path, whyNot);
        ASSERT_TRUE(sink);
        sink->Write("line\n");
        sink->Flush();
        EXPECT_EQ(sink->Failure(), "");
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "earlier\nline\n");
    EXPECT_FALSE(FileTraceSink::Open((dir.Path() / "no/t.trace").string(), whyNot));
    EXPECT_EQ(whyNot, "No such file or directory");
}

} // namespace
} // namespace talvex
