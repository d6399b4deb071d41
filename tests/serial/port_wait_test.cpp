// How the POSIX port waits: the bounded drain behind Write, the answer wait
// counted from the moment the frame has left, the stop flag in every wait,
// and the terminal settings given back on close.

#include "output_drain.h"
#include "pty_pair.h"
#include "serial_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <thread>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// How far past its due time a call may return on a loaded 2-core CI box.
constexpr auto kLateness = 80ms;

// A driver queue the test controls: `level(elapsed)` says how many bytes are
// still queued; every look is counted.
struct FakeQueue {
    std::function<long(Clock::duration)> level;
    Clock::time_point start = Clock::now();
    int looks = 0;
    long operator()() {
        ++looks;
        return level(Clock::now() - start);
    }
};

DrainEnd Drain(FakeQueue& q, std::uint32_t baud, Clock::duration limit,
               const std::atomic<bool>* stop, long& left, Clock::duration& took) {
    q.start = Clock::now();
    const DrainEnd end = WaitForOutputDrain(std::ref(q), baud, q.start + limit, stop, left);
    took = Clock::now() - q.start;
    return end;
}

TEST(OutputDrain, EmptyQueueCostsOneLook) {
    FakeQueue q{[](Clock::duration) { return 0L; }};
    long left = -1;
    Clock::duration took{};
    EXPECT_EQ(Drain(q, 115200, 5s, nullptr, left, took), DrainEnd::Drained);
    EXPECT_EQ(q.looks, 1);
    EXPECT_EQ(left, 0);
    EXPECT_LT(took, 5ms);
}

TEST(OutputDrain, QueueThatNeverEmptiesEndsAtTheDeadlineNotLaterAndWithoutBusyLooping) {
    // The far end does not take anything: a stalled adapter.
    FakeQueue q{[](Clock::duration) { return 40L; }};
    long left = 0;
    Clock::duration took{};
    EXPECT_EQ(Drain(q, 115200, 400ms, nullptr, left, took), DrainEnd::TimedOut);
    EXPECT_EQ(left, 40);
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 400ms + kLateness);
    EXPECT_LT(q.looks, 40) << "a queue that does not move is looked at less and less often";
}

TEST(OutputDrain, QueueDrainingAtTheLineRateIsFollowedClosely) {
    // 100 bytes leaving at 9600 baud: empty after about 104 ms.
    const auto wire = WireTime(100, 9600);
    EXPECT_EQ(wire, 104166us);
    FakeQueue q{[&](Clock::duration t) {
        const auto sent = std::chrono::duration_cast<std::chrono::microseconds>(t) * 100 / wire;
        return std::max(0L, 100L - static_cast<long>(sent));
    }};
    long left = -1;
    Clock::duration took{};
    EXPECT_EQ(Drain(q, 9600, 5s, nullptr, left, took), DrainEnd::Drained);
    EXPECT_GE(took, wire);
    EXPECT_LT(took, wire + 15ms);
    EXPECT_LT(q.looks, 30);
}

TEST(OutputDrain, StopOrDeviceFailureEndsTheWait) {
    std::atomic<bool> stop{false};
    FakeQueue stuck{[](Clock::duration) { return 7L; }};
    std::thread raiser([&] {
        std::this_thread::sleep_for(60ms);
        stop = true;
    });
    long left = 0;
    Clock::duration took{};
    EXPECT_EQ(Drain(stuck, 50, 60s, &stop, left, took), DrainEnd::Stopped);
    raiser.join();
    EXPECT_EQ(left, 7);
    EXPECT_LT(took, 60ms + std::chrono::milliseconds(kStopLatencyMs) + kLateness);

    FakeQueue gone{[](Clock::duration) { return -1L; }};
    EXPECT_EQ(Drain(gone, 9600, 60s, nullptr, left, took), DrainEnd::Failed);
    EXPECT_EQ(gone.looks, 1);
}

class PortWaits : public ::testing::Test {
protected:
    void OpenAt(const char* baud) { ASSERT_TRUE(port.Open(pty.SlavePath(), baud)) << baud; }

    // Fills the line until the far end takes nothing more: it stopped reading.
    void StallTheLine() {
        ASSERT_EQ(::fcntl(pty.SlaveFd(), F_SETFL, ::fcntl(pty.SlaveFd(), F_GETFL) | O_NONBLOCK), 0);
        const Bytes junk(256, 0x55);
        for (int idle = 0; idle < 5; std::this_thread::sleep_for(20ms)) {
            bool took = false;
            while (::write(pty.SlaveFd(), junk.data(), junk.size()) > 0) took = true;
            idle = took ? 0 : idle + 1;
        }
    }

    test::PtyPair pty;
    CSerialPort port;
};

TEST_F(PortWaits, AnswerWaitCountsFromTheMomentTheFrameHasLeft) {
    // A 250-byte frame needs 260 ms on a 9600-baud line, more than the
    // 210 ms answer wait. The target answers 100 ms after the frame's last
    // byte reached it: in time, although the write call itself (a
    // pseudo-terminal takes the bytes at once) returned long before.
    OpenAt("9600");
    const Bytes frame(250, 0x5A);
    const auto wire = WireTime(frame.size(), 9600);
    const auto start = Clock::now();
    std::thread target([&] {
        EXPECT_EQ(pty.Receive(frame.size(), 1000ms).size(), frame.size());
        std::this_thread::sleep_until(start + wire + 100ms);
        pty.Send({0x06});
    });
    std::size_t written = 0;
    ASSERT_TRUE(port.Write(frame.data(), frame.size(), written));
    EXPECT_EQ(written, frame.size());
    std::uint8_t answer[2] = {};
    std::size_t got = 0;
    EXPECT_TRUE(port.Read(answer, 1, got));
    target.join();
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(answer[0], 0x06);

    // Silence: the wait ends one answer wait after the frame has left, not
    // earlier and not much later.
    const auto again = Clock::now();
    ASSERT_TRUE(port.Write(frame.data(), frame.size(), written));
    EXPECT_TRUE(port.Read(answer, 1, got));
    const auto took = Clock::now() - again;
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
    EXPECT_GE(took, wire + 210ms);
    EXPECT_LT(took, wire + 210ms + kLateness);
}

TEST_F(PortWaits, WriteToALineThatStopsTakingBytesReturnsAtItsTimeout) {
    // The far end stops reading: nothing of the 25-byte frame can leave, and
    // the write gives up after 5000 + 10 x 25 ms with what went out.
    OpenAt("115200");
    StallTheLine();
    const Bytes frame(25, 0xA5);
    std::size_t written = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(port.Write(frame.data(), frame.size(), written));
    const auto took = Clock::now() - start;
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
    EXPECT_GE(took, 5250ms);
    EXPECT_LT(took, 5250ms + kLateness);
}

TEST_F(PortWaits, StopEndsEveryWaitWithinTheStopLatencyAtAnyRate) {
    // 50 baud: a 24-byte read would wait 40 s, a stalled write over 5 s.
    std::atomic<bool> stop{false};
    port.SetStopFlag(&stop);
    OpenAt("50");
    const auto bound = std::chrono::milliseconds(kStopLatencyMs) + kLateness;
    const auto raiseIn = [&](std::chrono::milliseconds after) {
        stop = false;
        return std::thread([&stop, after] {
            std::this_thread::sleep_for(after);
            stop = true;
        });
    };

    ASSERT_TRUE(pty.Send({0x5A, 0x45, 0x4C}));
    Bytes buf(25, 0xA5);
    std::size_t got = 0;
    auto raiser = raiseIn(150ms);
    auto start = Clock::now();
    EXPECT_TRUE(port.Read(buf.data(), 24, got)) << "a stop is not a device failure";
    auto took = Clock::now() - start;
    raiser.join();
    EXPECT_EQ(port.LastStatus(), PortStatus::Stopped);
    EXPECT_EQ(got, 3u) << "what came before the stop is kept";
    EXPECT_EQ(buf[3], 0);
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 150ms + bound);

    StallTheLine();
    raiser = raiseIn(100ms);
    start = Clock::now();
    EXPECT_TRUE(port.Write(buf.data(), 24, got));
    took = Clock::now() - start;
    raiser.join();
    EXPECT_EQ(port.LastStatus(), PortStatus::Stopped);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(took, 100ms + bound);

    // Raised before the call: nothing is moved and nothing is waited for.
    stop = true;
    start = Clock::now();
    EXPECT_TRUE(port.Read(buf.data(), 1, got));
    EXPECT_EQ(port.LastStatus(), PortStatus::Stopped);
    EXPECT_TRUE(port.Write(buf.data(), 1, got));
    EXPECT_EQ(port.LastStatus(), PortStatus::Stopped);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(Clock::now() - start, 10ms + kLateness);

    // Without a flag the port waits its full time again.
    port.SetStopFlag(nullptr);
    ASSERT_TRUE(port.Close());
    OpenAt("230400");
    start = Clock::now();
    EXPECT_TRUE(port.Read(buf.data(), 1, got));
    EXPECT_EQ(port.LastStatus(), PortStatus::TimedOut);
    EXPECT_GE(Clock::now() - start, 10ms);
}

// The fields of a terminal's settings that a user would notice.
void ExpectSameSettings(const termios& a, const termios& b, const char* when) {
    EXPECT_EQ(a.c_iflag, b.c_iflag) << when;
    EXPECT_EQ(a.c_oflag, b.c_oflag) << when;
    EXPECT_EQ(a.c_cflag, b.c_cflag) << when;
    EXPECT_EQ(a.c_lflag, b.c_lflag) << when;
    EXPECT_EQ(::cfgetispeed(&a), ::cfgetispeed(&b)) << when;
    EXPECT_EQ(::cfgetospeed(&a), ::cfgetospeed(&b)) << when;
    EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc)) << when;
}

TEST_F(PortWaits, TerminalGetsItsOwnSettingsBackWhenThePortLetsGo) {
    // The pseudo-terminal stands in for the user's terminal named as the
    // port: cooked, echoing, at 1200 baud, without HUPCL.
    termios user{};
    ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &user), 0);
    user.c_lflag |= ECHO | ICANON | ISIG;
    user.c_iflag |= ICRNL | IXON;
    user.c_oflag |= OPOST;
    user.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    user.c_cc[VMIN] = 1;
    ::cfsetspeed(&user, B1200);
    ASSERT_EQ(::tcsetattr(pty.SlaveFd(), TCSANOW, &user), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &before), 0);

    for (const char* how : {"Close", "destroyed while open"}) {
        {
            CSerialPort scoped;
            ASSERT_TRUE(scoped.Open(pty.SlavePath(), "115200"));
            termios during{};
            ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &during), 0);
            EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u) << "raw while open";
            EXPECT_EQ(::cfgetospeed(&during), speed_t(B115200));
            if (std::strcmp(how, "Close") == 0) {
                EXPECT_TRUE(scoped.Close());
            }
        }
        termios after{};
        ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &after), 0);
        ExpectSameSettings(before, after, how);
    }
}

} // namespace
} // namespace talvex
