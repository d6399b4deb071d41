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

const Bytes kResync = [] {
    Bytes b(23, 0x00);
    b.push_back(0x07);
    b.push_back(0x07);
    return b;
}();

// Records every call; answers the n-th read (1-based) as the script says.
class RecordingPort : public ISerialPort {
public:
    enum class Kind { Purge, Write, Read };
    struct Call {
        Kind kind;
        PurgeWhat what = PurgeWhat::All;
        Bytes bytes;
        std::size_t count = 0;
    };

    std::vector<Call> calls;
    std::function<std::optional<std::uint8_t>(int)> answer = [](int) { return std::nullopt; };
    bool writesFail = false;
    int readsFailFrom = 0; // 0: never
    int reads = 0;
    std::function<void(int)> onRead;

    bool Open(const std::string&, const std::string&) override { return true; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override
    {
        calls.push_back({Kind::Read, PurgeWhat::All, {}, count});
        ++reads;
        if (onRead)
            onRead(reads);
        received = 0;
        if (readsFailFrom != 0 && reads >= readsFailFrom) {
            status = PortStatus::HungUp;
            return false;
        }
        if (const auto byte = answer(reads)) {
            buffer[0] = *byte;
            buffer[1] = 0;
            received = 1;
            status = PortStatus::Ok;
        } else {
            status = PortStatus::TimedOut;
        }
        return true;
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override
    {
        calls.push_back({Kind::Write, PurgeWhat::All, Bytes(data, data + count), count});
        written = writesFail ? 0 : count;
        return !writesFail;
    }
    bool Purge(PurgeWhat what) override
    {
        calls.push_back({Kind::Purge, what, {}, 0});
        return true;
    }
    PortStatus LastStatus() const override { return status; }

    std::size_t CountWrites(const Bytes& b) const
    {
        return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [&](const Call& c) {
            return c.kind == Kind::Write && c.bytes == b;
        }));
    }

private:
    PortStatus status = PortStatus::Ok;
};

using Kind = RecordingPort::Kind;

CommandFrame WriteFrame()
{
    const std::uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    return *CommandFrame::Make('W', 0x200, data, sizeof data);
}

TEST(SendFrame, ImmediateAcknowledgementIsOnePurgeOneWriteOneRead)
{
    RecordingPort port;
    port.answer = [](int) { return std::uint8_t{0x06}; };
    const CommandFrame frame = WriteFrame();
    EXPECT_EQ(SendFrame(port, frame), 0);
    ASSERT_EQ(port.calls.size(), 3u);
    EXPECT_EQ(port.calls[0].kind, Kind::Purge);
    EXPECT_EQ(port.calls[0].what, PurgeWhat::All);
    EXPECT_EQ(port.calls[1].kind, Kind::Write);
    EXPECT_EQ(port.calls[1].bytes, frame.Bytes());
    EXPECT_EQ(port.calls[2].kind, Kind::Read);
    EXPECT_EQ(port.calls[2].count, 1u);
}

struct Silent {
    const char* what;
    CommandFrame frame;
    std::size_t tries;
};

TEST(SendFrame, NeverAnsweringTargetGetsEveryTryWithAResyncBlock)
{
    const Silent cases[] = {
        {"write", WriteFrame(), 10},
        {"run", CommandFrame::Run(0), 10},
        {"page erase", CommandFrame::Erase(0x400, 1), 100},
        {"page erase at offset 0", CommandFrame::Erase(0, 1), 100},
        {"mass erase", CommandFrame::Erase(0, 0), 1000},
    };
    for (const Silent& c : cases) {
        RecordingPort port;
        EXPECT_EQ(SendFrame(port, c.frame), 10) << c.what;
        EXPECT_EQ(port.CountWrites(c.frame.Bytes()), c.tries) << c.what;
        EXPECT_EQ(port.CountWrites(kResync), c.tries) << c.what;
        // Each try: purge, frame, one-byte read, resync block, purge.
        ASSERT_EQ(port.calls.size(), 5 * c.tries) << c.what;
        for (std::size_t t = 0; t < c.tries; ++t) {
            const auto* call = &port.calls[5 * t];
            ASSERT_TRUE(call[0].kind == Kind::Purge && call[0].what == PurgeWhat::All);
            ASSERT_TRUE(call[1].kind == Kind::Write && call[1].bytes == c.frame.Bytes());
            ASSERT_TRUE(call[2].kind == Kind::Read && call[2].count == 1);
            ASSERT_TRUE(call[3].kind == Kind::Write && call[3].bytes == kResync);
            ASSERT_TRUE(call[4].kind == Kind::Purge && call[4].what == PurgeWhat::All);
        }
    }
}

struct LateAck {
    const char* what;
    CommandFrame frame;
    int ackAtTry;
    int score;
};

TEST(SendFrame, ScoreIsFailedTriesTimesStepOverHundred)
{
    const LateAck cases[] = {
        {"page erase, 35th try", CommandFrame::Erase(0x200, 1), 35, 3},
        {"mass erase, 500th try", CommandFrame::Erase(0, 0), 500, 4},
        {"mass erase, 1000th try", CommandFrame::Erase(0, 0), 1000, 9},
        {"mass erase, 100th try", CommandFrame::Erase(0, 0), 100, 0},
        {"write, 2nd try", WriteFrame(), 2, 1},
        {"write, 10th try", WriteFrame(), 10, 9},
        {"page erase, 100th try", CommandFrame::Erase(0x200, 1), 100, 9},
    };
    for (const LateAck& c : cases) {
        RecordingPort port;
        port.answer = [&](int read) {
            return read == c.ackAtTry ? std::optional<std::uint8_t>(0x06) : std::nullopt;
        };
        EXPECT_EQ(SendFrame(port, c.frame), c.score) << c.what;
        EXPECT_EQ(port.CountWrites(c.frame.Bytes()), static_cast<std::size_t>(c.ackAtTry)) << c.what;
        EXPECT_EQ(port.CountWrites(kResync), static_cast<std::size_t>(c.ackAtTry - 1)) << c.what;
        // No purge after the acknowledged try.
        EXPECT_EQ(port.calls.back().kind, Kind::Read) << c.what;
    }
}

TEST(SendFrame, NakAndStartByteAnswersCountAsSilence)
{
    for (std::uint8_t wrong : {std::uint8_t{0x15}, std::uint8_t{0x07}, std::uint8_t{0x00},
                               std::uint8_t{0x86}}) {
        RecordingPort never;
        never.answer = [&](int) { return wrong; };
        EXPECT_EQ(SendFrame(never, WriteFrame()), 10) << int(wrong);
        EXPECT_EQ(never.CountWrites(kResync), 10u);

        RecordingPort late;
        late.answer = [&](int read) { return read == 4 ? std::uint8_t{0x06} : wrong; };
        EXPECT_EQ(SendFrame(late, WriteFrame()), 3) << int(wrong);
    }
}

TEST(SendFrame, FailedWritesAreNotLookedAt)
{
    RecordingPort port;
    port.writesFail = true;
    port.answer = [](int read) { return read == 3 ? std::optional<std::uint8_t>(0x06) : std::nullopt; };
    EXPECT_EQ(SendFrame(port, WriteFrame()), 2);
}

TEST(SendFrame, DeadPortEndsTheExchangeAtOnce)
{
    RecordingPort port;
    port.readsFailFrom = 2;
    EXPECT_EQ(SendFrame(port, CommandFrame::Erase(0, 0)), 10);
    EXPECT_EQ(port.reads, 2);
    // The first try was silent and got its resync block; the dead one not.
    EXPECT_EQ(port.CountWrites(kResync), 1u);
}

TEST(SendFrame, StopFlagEndsBeforeTheNextTry)
{
    std::atomic<bool> stop{true};
    RecordingPort idle;
    EXPECT_EQ(SendFrame(idle, CommandFrame::Erase(0, 0), &stop), 10);
    EXPECT_TRUE(idle.calls.empty());

    stop = false;
    RecordingPort port;
    port.onRead = [&](int read) {
        if (read == 3)
            stop = true;
    };
    EXPECT_EQ(SendFrame(port, CommandFrame::Erase(0, 0), &stop), 10);
    EXPECT_EQ(port.CountWrites(CommandFrame::Erase(0, 0).Bytes()), 3u);

    // A flag that stays false changes nothing.
    std::atomic<bool> never{false};
    RecordingPort ack;
    ack.answer = [](int read) { return read == 5 ? std::optional<std::uint8_t>(0x06) : std::nullopt; };
    EXPECT_EQ(SendFrame(ack, WriteFrame(), &never), 4);
}

// --- over a pseudo-terminal ----------------------------------------------

// Plays the bootloader: waits for whole copies of `frame` in the byte
// stream and answers each with the next byte of `answers`.
void ScriptedTarget(test::PtyPair& pty, const Bytes& frame, Bytes answers, std::size_t& seen)
{
    Bytes stream;
    for (std::uint8_t reply : answers) {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        for (;;) {
            const auto it = std::search(stream.begin(), stream.end(), frame.begin(), frame.end());
            if (it != stream.end()) {
                stream.erase(stream.begin(), it + static_cast<std::ptrdiff_t>(frame.size()));
                ++seen;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline)
                return;
            const Bytes more = pty.Receive(frame.size(), 50ms);
            stream.insert(stream.end(), more.begin(), more.end());
        }
        pty.Send({reply});
    }
}

TEST(SendFrameOverPty, TargetThatRefusesOnceThenAcceptsScoresOne)
{
    test::PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "230400"));
    const CommandFrame frame = WriteFrame();
    std::size_t seen = 0;
    std::thread target(ScriptedTarget, std::ref(pty), frame.Bytes(), Bytes{0x15, 0x06}, std::ref(seen));
    const int score = SendFrame(port, frame);
    target.join();
    EXPECT_EQ(score, 1);
    EXPECT_EQ(seen, 2u);
}

TEST(SendFrameOverPty, SilentTargetCostsTenOneByteTimeouts)
{
    test::PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "230400"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFrame(port, CommandFrame::Run(0)), 10);
    const auto took = std::chrono::steady_clock::now() - start;
    // 10 tries x (9 + 1) ms at 230400 baud.
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 100ms + 400ms);
}

TEST(SendFrameOverPty, VanishedAdapterFailsAtOnceInsteadOfRetrying)
{
    test::PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "300"));
    pty.CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendFrame(port, CommandFrame::Erase(0, 0)), 10);
    // 1000 tries at 300 baud would take over 100 minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
}

} // namespace
} // namespace talvex
