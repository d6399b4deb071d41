// The acknowledged exchange: exact call sequences against a recording fake,
// and round trips over a pseudo-terminal with a scripted target.

#include "command_frame.h"
#include "pty_pair.h"
#include "serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const Bytes kResync = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07, 0x07};

// Records every call as text ("P*" purge all, "W<n>" frame, "R1" read,
// "S" resync block); the n-th read (1-based) is answered as `answer` says.
class RecordingPort : public ISerialPort {
public:
    std::vector<std::string> calls;
    Bytes frame;
    std::function<int(int)> answer = [](int) { return -1; }; // -1: silence
    bool writesFail = false;
    int deadFromRead = 0; // reads from this one on report a dead device
    std::function<void(int)> onRead;
    int reads = 0;

    bool Open(const std::string&, const std::string&) override { return true; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override
    {
        calls.push_back("R" + std::to_string(count));
        received = 0;
        ++reads;
        if (onRead)
            onRead(reads);
        if (deadFromRead != 0 && reads >= deadFromRead)
            return false;
        if (const int byte = answer(reads); byte >= 0) {
            buffer[0] = static_cast<std::uint8_t>(byte);
            buffer[1] = 0;
            received = 1;
        }
        return true;
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override
    {
        const Bytes bytes(data, data + count);
        calls.push_back(bytes == kResync ? "S" : bytes == frame ? "F" : "?");
        written = writesFail ? 0 : count;
        return !writesFail;
    }
    bool Purge(PurgeWhat what) override
    {
        calls.push_back(what == PurgeWhat::All ? "P*" : "Po");
        return true;
    }
    PortStatus LastStatus() const override { return PortStatus::TimedOut; }

    long Count(const char* what) const { return std::count(calls.begin(), calls.end(), what); }
};

CommandFrame WriteFrame()
{
    const std::uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    return *CommandFrame::Make('W', 0x200, data, sizeof data);
}

int Send(RecordingPort& port, const CommandFrame& frame, const std::atomic<bool>* stop = nullptr)
{
    port.frame = frame.Bytes();
    return SendFrame(port, frame, stop);
}

TEST(SendFrame, ImmediateAcknowledgementIsOnePurgeOneWriteOneRead)
{
    RecordingPort port;
    port.answer = [](int) { return 0x06; };
    EXPECT_EQ(Send(port, WriteFrame()), 0);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"P*", "F", "R1"}));
}

TEST(SendFrame, NeverAnsweringTargetGetsEveryTryWithAResyncBlock)
{
    const struct { const char* what; CommandFrame frame; long tries; } cases[] = {
        {"write", WriteFrame(), 10},
        {"run", CommandFrame::Run(0), 10},
        {"page erase", CommandFrame::Erase(0x400, 1), 100},
        {"page erase at offset 0", CommandFrame::Erase(0, 1), 100},
        {"mass erase", CommandFrame::Erase(0, 0), 1000},
    };
    const std::vector<std::string> oneTry = {"P*", "F", "R1", "S", "P*"};
    for (const auto& c : cases) {
        RecordingPort port;
        EXPECT_EQ(Send(port, c.frame), 10) << c.what;
        ASSERT_EQ(static_cast<long>(port.calls.size()), 5 * c.tries) << c.what;
        for (std::size_t at = 0; at < port.calls.size(); at += 5)
            ASSERT_TRUE(std::equal(oneTry.begin(), oneTry.end(), port.calls.begin() + at)) << c.what << at;
    }
}

TEST(SendFrame, ScoreIsFailedTriesTimesStepOverHundred)
{
    const struct { const char* what; CommandFrame frame; int ackAt; int wrong; int score; } cases[] = {
        {"page erase, 35th try", CommandFrame::Erase(0x200, 1), 35, -1, 3},
        {"page erase, 100th try", CommandFrame::Erase(0x200, 1), 100, -1, 9},
        {"mass erase, 500th try", CommandFrame::Erase(0, 0), 500, -1, 4},
        {"mass erase, 100th try", CommandFrame::Erase(0, 0), 100, -1, 0},
        {"mass erase, 1000th try", CommandFrame::Erase(0, 0), 1000, -1, 9},
        {"write, 2nd try", WriteFrame(), 2, -1, 1},
        {"write after NAKs", WriteFrame(), 4, 0x15, 3},
        {"write after start bytes", WriteFrame(), 10, 0x07, 9},
        {"write after zeros", WriteFrame(), 6, 0x00, 5},
        {"write, NAKs only", WriteFrame(), 0, 0x15, 10},
        {"write, start bytes only", WriteFrame(), 0, 0x07, 10},
    };
    for (const auto& c : cases) {
        RecordingPort port;
        port.answer = [&](int read) { return read == c.ackAt ? 0x06 : c.wrong; };
        EXPECT_EQ(Send(port, c.frame), c.score) << c.what;
        const long tries = c.ackAt ? c.ackAt : 10;
        EXPECT_EQ(port.Count("F"), tries) << c.what;
        EXPECT_EQ(port.Count("S"), c.ackAt ? tries - 1 : tries) << c.what;
        if (c.ackAt) {
            EXPECT_EQ(port.calls.back(), "R1") << c.what; // no purge after the acknowledged try
        }
    }
}

TEST(SendFrame, FailedWritesAreNotLookedAtButADeadPortEndsTheExchange)
{
    RecordingPort port;
    port.writesFail = true;
    port.answer = [](int read) { return read == 3 ? 0x06 : -1; };
    EXPECT_EQ(Send(port, WriteFrame()), 2);

    RecordingPort dead;
    dead.deadFromRead = 2;
    EXPECT_EQ(Send(dead, CommandFrame::Erase(0, 0)), 10);
    EXPECT_EQ(dead.calls, (std::vector<std::string>{"P*", "F", "R1", "S", "P*", "P*", "F", "R1"}));
}

TEST(SendFrame, StopFlagEndsBeforeTheNextTry)
{
    std::atomic<bool> stop{true};
    RecordingPort idle;
    EXPECT_EQ(Send(idle, CommandFrame::Erase(0, 0), &stop), 10);
    EXPECT_TRUE(idle.calls.empty());

    stop = false;
    RecordingPort port;
    port.onRead = [&](int read) { stop = read == 3; };
    EXPECT_EQ(Send(port, CommandFrame::Erase(0, 0), &stop), 10);
    EXPECT_EQ(port.Count("F"), 3);
}

// Plays the bootloader on the master: waits for each whole copy of `frame`
// in the byte stream and answers it with the next of `answers`.
void ScriptedTarget(test::PtyPair& pty, const Bytes& frame, const Bytes& answers, int& seen)
{
    Bytes stream;
    for (std::uint8_t reply : answers) {
        for (int wait = 0; wait < 40; ++wait) {
            const auto it = std::search(stream.begin(), stream.end(), frame.begin(), frame.end());
            if (it != stream.end()) {
                stream.erase(stream.begin(), it + static_cast<std::ptrdiff_t>(frame.size()));
                ++seen;
                break;
            }
            const Bytes more = pty.Receive(frame.size(), 50ms);
            stream.insert(stream.end(), more.begin(), more.end());
        }
        pty.Send({reply});
    }
}

TEST(SendFrameOverPty, TargetThatRefusesOnceThenAcceptsScoresOne)
{
    test::PtyPair pty;
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "230400"));
    const CommandFrame frame = WriteFrame();
    int seen = 0;
    std::thread target(ScriptedTarget, std::ref(pty), frame.Bytes(), Bytes{0x15, 0x06}, std::ref(seen));
    EXPECT_EQ(SendFrame(port, frame), 1);
    target.join();
    EXPECT_EQ(seen, 2);
}

TEST(SendFrameOverPty, VanishedAdapterFailsAtOnceInsteadOfRetrying)
{
    test::PtyPair pty;
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "300"));
    pty.CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFrame(port, CommandFrame::Erase(0, 0)), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s); // not 1000 x 6.7 s
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
}

} // namespace
} // namespace talvex
