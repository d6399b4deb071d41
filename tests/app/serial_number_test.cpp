#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "serial_counter.h"
#include "serial_settings.h"
#include "temp_dir.h"

namespace talvex {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

// [Serial] as read from a settings file holding text.
SerialSection ReadFrom(const TempDir& dir, const std::string& text) {
    WriteBytes(dir.File("t.ini"), text);
    return ReadSerialSection(dir.File("t.ini"));
}

TEST(SerialSection, NoSerialKeyLeavesStampingOff) {
    TempDir dir;
    WriteBytes(dir.File("t.ini"), "[Flash]\nProgram=Yes\n");
    const SerialSection section = ReadSerialSection(dir.File("t.ini"));
    EXPECT_FALSE(section.On());
    EXPECT_FALSE(ReadSerialSection(dir.File("missing.ini")).On());
}

TEST(SerialSection, ReadsEveryKeyAndTakesARelativeCounterFromTheSettingsFolder) {
    TempDir dir;
    const SerialSection section =
        ReadFrom(dir,
                 "[serial]\naddress=8f010\nBytes=3\nFormat=bcd\nCounter=sub/n.txt\nStep=5\n"
                 "Last=999999\nPlaceholder=ffFFff\n");
    ASSERT_TRUE(section.settings) << section.problem;
    const SerialSettings& s = *section.settings;
    EXPECT_EQ(s.address, 0x8F010u);
    EXPECT_EQ(s.bytes, 3);
    EXPECT_EQ(s.format, SerialFormat::Bcd);
    EXPECT_EQ(s.counterPath, dir.File("sub/n.txt"));
    EXPECT_EQ(s.step, 5u);
    ASSERT_TRUE(s.last);
    EXPECT_EQ(*s.last, 999999u);
    EXPECT_EQ(s.placeholder, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF}));
}

TEST(SerialSection, DefaultsStepToOneAndLeavesLastAndPlaceholderOut) {
    TempDir dir;
    const SerialSection section =
        ReadFrom(dir, "[Serial]\nAddress=0x8F000\nBytes=4\nFormat=le\nCounter=/abs/serial.cnt\n");
    ASSERT_TRUE(section.settings) << section.problem;
    EXPECT_EQ(section.settings->step, 1u);
    EXPECT_FALSE(section.settings->last);
    EXPECT_TRUE(section.settings->placeholder.empty());
    EXPECT_EQ(section.settings->counterPath, "/abs/serial.cnt");
}

TEST(SerialSection, RefusesAnInvalidValueNamingKeyValueAndFile) {
    struct Case {
        const char* line;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"Address=0x8G000", "Address", "0x8G000"},
        {"Address=", "Address", ""},
        {"Address=123456789", "Address", "123456789"},
        {"Bytes=0", "Bytes", "0"},
        {"Bytes=17", "Bytes", "17"},
        {"Bytes=4x", "Bytes", "4x"},
        {"Format=LE", "Format", "LE"},
        {"Format=decimal", "Format", "decimal"},
        {"Counter=", "Counter", ""},
        {"Step=0", "Step", "0"},
        {"Step=-1", "Step", "-1"},
        {"Last=1e6", "Last", "1e6"},
        {"Placeholder=FFFFFF", "Placeholder", "FFFFFF"},
        {"Placeholder=FFFFFFFFF", "Placeholder", "FFFFFFFFF"},
        {"Placeholder=FFFFFFZZ", "Placeholder", "FFFFFFZZ"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        // The good section without the key under test, then that key.
        std::string section = "[Serial]\n";
        for (const char* key : {"Address", "Bytes", "Format", "Counter"}) {
            if (std::string(key) != c.key) {
                section += std::string(key) + "=" +
                           (std::string(key) == "Address"  ? "0x8F000"
                            : std::string(key) == "Bytes"  ? "4"
                            : std::string(key) == "Format" ? "le"
                                                           : "serial.cnt") +
                           "\n";
            }
        }
        section += std::string(c.line) + "\n";
        WriteBytes(dir.File("t.ini"), section);
        const SerialSection read = ReadSerialSection(dir.File("t.ini"));
        EXPECT_FALSE(read.settings) << c.line;
        EXPECT_TRUE(read.On()) << c.line;
        EXPECT_NE(read.problem.find(std::string(c.key) + "=" + c.value + " "), std::string::npos)
            << c.line << ": " << read.problem;
        EXPECT_NE(read.problem.find(dir.File("t.ini")), std::string::npos) << read.problem;
    }
}

TEST(SerialSection, AnySerialKeyWithoutAddressIsRefused) {
    TempDir dir;
    const SerialSection read = ReadFrom(dir, "[Serial]\nCounter=n.txt\n");
    EXPECT_TRUE(read.On());
    EXPECT_FALSE(read.settings);
    EXPECT_NE(read.problem.find("Address="), std::string::npos) << read.problem;
}

SerialSettings CounterIn(const TempDir& dir, std::uint64_t step = 1) {
    SerialSettings s;
    s.address = 0x8F000;
    s.bytes = 4;
    s.counterPath = dir.File("serial.cnt");
    s.step = step;
    return s;
}

TEST(SerialCounter, TakesInStepsAndWritesTheNextNumber) {
    TempDir dir;
    WriteBytes(dir.File("serial.cnt"), " 1000\r\n");
    const SerialSettings s = CounterIn(dir, 3);
    for (std::uint64_t expected : {1000u, 1003u, 1006u}) {
        const CounterResult r = TakeSerialNumber(s);
        ASSERT_EQ(r.status, CounterStatus::Taken) << r.message;
        EXPECT_EQ(r.number, expected);
    }
    EXPECT_EQ(ReadBytes(dir.File("serial.cnt")), "1009\n");
    const CounterResult peek = PeekSerialNumber(s);
    EXPECT_EQ(peek.status, CounterStatus::Taken);
    EXPECT_EQ(peek.number, 1009u);
    EXPECT_EQ(ReadBytes(dir.File("serial.cnt")), "1009\n") << "a look takes nothing";
}

TEST(SerialCounter, RefusesAndKeepsTheFileWhenItCannotHandOutANumber) {
    struct Case {
        const char* name;
        std::optional<std::string> content; // nullopt: no file
        std::optional<std::uint64_t> last;
        CounterStatus status;
        const char* words;
    };
    const Case cases[] = {
        {"missing", std::nullopt, std::nullopt, CounterStatus::Problem, "does not exist"},
        {"empty", "", std::nullopt, CounterStatus::Problem, "one decimal number"},
        {"words", "twelve\n", std::nullopt, CounterStatus::Problem, "one decimal number"},
        {"two numbers", "12 13\n", std::nullopt, CounterStatus::Problem, "one decimal number"},
        {"too large", "99999999999999999999\n", std::nullopt, CounterStatus::Problem,
         "one decimal number"},
        {"past Last", "101\n", 100, CounterStatus::UsedUp, "past Last=100"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        SerialSettings s = CounterIn(dir);
        s.last = c.last;
        if (c.content) WriteBytes(s.counterPath, *c.content);
        const CounterResult r = TakeSerialNumber(s);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_NE(r.message.find(c.words), std::string::npos) << c.name << ": " << r.message;
        EXPECT_NE(r.message.find(s.counterPath), std::string::npos) << c.name;
        if (c.content) {
            EXPECT_EQ(ReadBytes(s.counterPath), *c.content) << c.name;
        }
    }
}

TEST(SerialCounter, LastItselfIsStillHandedOut) {
    TempDir dir;
    SerialSettings s = CounterIn(dir);
    s.last = 100;
    WriteBytes(s.counterPath, "100\n");
    EXPECT_EQ(TakeSerialNumber(s).status, CounterStatus::Taken);
    EXPECT_EQ(TakeSerialNumber(s).status, CounterStatus::UsedUp);
}

// Children that take numbers in a loop and write them to a pipe.
std::vector<std::uint64_t> TakeInProcesses(const SerialSettings& s, int processes, int each) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            for (int i = 0; i < each; ++i) {
                const CounterResult r = TakeSerialNumber(s);
                if (r.status != CounterStatus::Taken) ::_exit(1);
                if (::write(fds[1], &r.number, sizeof r.number) != sizeof r.number) ::_exit(2);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(fds[1]);
    std::vector<std::uint64_t> numbers;
    std::uint64_t n = 0;
    while (::read(fds[0], &n, sizeof n) == sizeof n) numbers.push_back(n);
    ::close(fds[0]);
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return numbers;
}

TEST(SerialCounter, ProcessesSharingOneCounterNeverGetTheSameNumber) {
    TempDir dir;
    const SerialSettings s = CounterIn(dir);
    WriteBytes(s.counterPath, "1\n");
    const std::vector<std::uint64_t> numbers = TakeInProcesses(s, 3, 150);
    ASSERT_EQ(numbers.size(), 450u);
    const std::set<std::uint64_t> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size());
    EXPECT_EQ(*distinct.begin(), 1u);
    EXPECT_EQ(*distinct.rbegin(), 450u) << "no number skipped";
    EXPECT_EQ(ReadBytes(s.counterPath), "451\n");
}

TEST(SerialCounter, AStationKilledWhileHoldingTheLockLeavesTheCounterWholeAndFree) {
    TempDir dir;
    const SerialSettings s = CounterIn(dir);
    WriteBytes(s.counterPath, "500\n");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        std::string why;
        auto lock = FileLock::Acquire(s.counterPath + ".lock", kCounterLockWait, why);
        const char byte = lock ? 'L' : 'F';
        // A child that cannot tell ends at once: with the parent's copy of
        // the write end closed, the parent's read then fails, not hangs.
        if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 'L');
    std::string why;
    EXPECT_EQ(FileLock::Acquire(s.counterPath + ".lock", std::chrono::milliseconds(50), why),
              nullptr);
    EXPECT_NE(why.find("held by another station"), std::string::npos) << why;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    const CounterResult r = TakeSerialNumber(s);
    ASSERT_EQ(r.status, CounterStatus::Taken) << r.message;
    EXPECT_EQ(r.number, 500u);
}

TEST(SerialCounter, StationsKilledMidAllocationNeverLeaveAPartFile) {
    TempDir dir;
    const SerialSettings s = CounterIn(dir);
    WriteBytes(s.counterPath, "1\n");
    for (int round = 0; round < 8; ++round) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (;;) (void)TakeSerialNumber(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(15 + round * 3));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        const CounterResult peek = PeekSerialNumber(s);
        ASSERT_EQ(peek.status, CounterStatus::Taken) << peek.message;
        const CounterResult next = TakeSerialNumber(s);
        ASSERT_EQ(next.status, CounterStatus::Taken) << next.message;
        EXPECT_EQ(next.number, peek.number);
    }
}

} // namespace
} // namespace talvex
