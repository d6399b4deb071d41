// The acknowledged exchange: a line and a target in virtual time, so that
// every timing edge (an answer 1 ms past a wait, a duplicate, a refusal that
// comes late) is a fixed scenario, and round trips over a pseudo-terminal.

#include "frame_link.h"
#include "pty_pair.h"
#include "serial_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <thread>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = FrameLink::Clock;

constexpr std::uint8_t kNak = 0x15;

// One answer the target gives a try: when (after the frame's last byte
// arrived) and which byte.
struct Reply {
    Clock::duration after;
    std::uint8_t byte;
};

// Which try of which command: a command is a frame unlike the one before it,
// numbered from 1; tries of it count from 1.
struct Try {
    int command = 0;
    int attempt = 0;
    Bytes bytes;
};

// A serial line whose time moves only when bytes cross it or a read waits.
// The target on the far end answers each try as `target` says, in order: an
// answer never overtakes an earlier one, as on a real line.
class VirtualLine final : public ISerialPort {
public:
    Clock::time_point now{};
    Clock::duration byteTime = 43us; // 230400 baud
    std::function<std::vector<Reply>(const Try&)> target = [](const Try&) {
        return std::vector<Reply>{{500us, kAck}};
    };
    Clock::duration work{0}; // what each try costs the target before it answers
    bool paced = true;
    std::vector<Try> tries;
    int resyncBlocks = 0;
    std::vector<std::string> remarks;

    bool Open(const std::string&, const std::string&) override { return true; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override {
        return ReadFor(buffer, count, received, 19ms);
    }
    bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                 std::chrono::milliseconds timeout) override {
        received = 0;
        const Clock::time_point until = now + timeout;
        while (received < count && !answers_.empty() && answers_.begin()->first <= until) {
            now = std::max(now, answers_.begin()->first);
            buffer[received++] = answers_.begin()->second;
            answers_.erase(answers_.begin());
        }
        if (received < count) now = until;
        if (received > 0) buffer[received] = 0;
        status_ = received == count ? PortStatus::Ok : PortStatus::TimedOut;
        return true;
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override {
        now += byteTime * static_cast<long>(count);
        written = count;
        const Bytes bytes(data, data + count);
        if (count == 25 && data[0] == 0 && data[24] == 0x07) {
            ++resyncBlocks;
        } else if (count >= 9 && data[0] == 0x07 && data[1] == 0x0E) {
            Try t;
            const bool repeat = !tries.empty() && tries.back().bytes == bytes;
            t.command = tries.empty() ? 1 : tries.back().command + (repeat ? 0 : 1);
            t.attempt = repeat ? tries.back().attempt + 1 : 1;
            t.bytes = bytes;
            tries.push_back(t);
            // The target carries out one try after the other.
            const Clock::time_point done = std::max(now, busyUntil_) + work;
            busyUntil_ = done;
            for (const Reply& r : target(t)) {
                Clock::time_point at = done + r.after;
                if (!answers_.empty()) at = std::max(at, answers_.rbegin()->first + 1us);
                answers_.emplace(at, r.byte);
            }
        }
        status_ = PortStatus::Ok;
        return true;
    }
    bool Purge(PurgeWhat what) override {
        // What has arrived is dropped; what is still on its way is not.
        if (what == PurgeWhat::All) answers_.erase(answers_.begin(), answers_.upper_bound(now));
        return true;
    }
    PortStatus LastStatus() const override { return status_; }
    void Remark(const std::string& text) override { remarks.push_back(text); }
    bool PacedLine() const override { return paced; }

    int TriesOf(int command) const {
        return static_cast<int>(std::count_if(tries.begin(), tries.end(),
                                              [&](const Try& t) { return t.command == command; }));
    }

private:
    std::multimap<Clock::time_point, std::uint8_t> answers_;
    Clock::time_point busyUntil_{};
    PortStatus status_ = PortStatus::Ok;
};

constexpr std::uint32_t kBaseWaitMs = 10; // 230400 baud

FrameLink MakeLink(VirtualLine& line, const std::atomic<bool>* stop = nullptr) {
    return FrameLink(line, 230400, stop, [&line] { return line.now; });
}

CommandFrame WriteFrame(std::uint32_t offset = 0x200) {
    const std::uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    return *CommandFrame::Make('W', offset, data, sizeof data);
}

TEST(AnswerWait, IsTwiceTheSlowestAnswerWithAMarginBetweenTheBaudRatesWaitAndTheCap) {
    struct Case {
        std::uint32_t base, slowest, expected;
    } cases[] = {
        {10, 0, 10},      // nothing learnt: the baud rate's wait
        {10, 1, 10},      // a quick target keeps it
        {10, 25, 57},     // 2 x 25 + 10 / 2 + 2
        {4, 16, 36},      // a slow adapter at 921600 baud
        {10, 5000, 2000}, // capped
        {6674, 40, 6674}, // 300 baud: its own wait is longer than the cap
    };
    for (const Case& c : cases)
        EXPECT_EQ(AdaptedAnswerWaitMs(c.base, c.slowest), c.expected) << c.base << " " << c.slowest;
}

TEST(FrameLink, ImmediateAcknowledgementIsOneTryAndScoresZero) {
    VirtualLine line;
    FrameLink link = MakeLink(line);
    EXPECT_EQ(link.Send(WriteFrame()), 0);
    EXPECT_EQ(line.tries.size(), 1u);
    EXPECT_EQ(line.resyncBlocks, 0);
    EXPECT_EQ(link.Settle(), FrameLink::SettleEnd::Quiet);
    EXPECT_FALSE(link.TakeMisaligned());
}

TEST(FrameLink, UnacknowledgedTriesFollowTheStepOfTheirCommand) {
    struct Case {
        const char* what;
        CommandFrame frame;
        int acceptedAt; // 0: never
        std::uint8_t refusal;
        int score, tries;
    } cases[] = {
        {"silent write", WriteFrame(), 0, 0, 10, 10},
        {"refused write", WriteFrame(), 0, kNak, 10, 10},
        {"write answered with a start byte", WriteFrame(), 0, 0x07, 10, 10},
        {"write refused once", WriteFrame(), 2, kNak, 1, 2},
        {"silent page erase", CommandFrame::Erase(0x200, 1), 0, 0, 10, 100},
        {"page erase at offset 0", CommandFrame::Erase(0, 1), 0, 0, 10, 100},
        {"page erase at the 35th try", CommandFrame::Erase(0x200, 1), 35, 0, 3, 35},
        {"silent mass erase", CommandFrame::Erase(0, 0), 0, 0, 10, 1000},
        {"mass erase at the 500th try", CommandFrame::Erase(0, 0), 500, 0, 4, 500},
    };
    for (const Case& c : cases) {
        VirtualLine line;
        line.target = [&](const Try& t) {
            if (t.attempt == c.acceptedAt) return std::vector<Reply>{{500us, kAck}};
            if (c.refusal != 0) return std::vector<Reply>{{500us, c.refusal}};
            return std::vector<Reply>{};
        };
        FrameLink link = MakeLink(line);
        EXPECT_EQ(link.Send(c.frame), c.score) << c.what;
        EXPECT_EQ(static_cast<int>(line.tries.size()), c.tries) << c.what;
        EXPECT_EQ(line.resyncBlocks, c.tries - (c.acceptedAt != 0 ? 1 : 0)) << c.what;
        EXPECT_FALSE(link.TakeMisaligned()) << c.what;
    }
}

TEST(FrameLink, SteadySlowTargetIsAnsweredOncePerFrameAfterItsFirstLateAnswer) {
    VirtualLine line;
    line.target = [](const Try&) { return std::vector<Reply>{{25ms, kAck}}; };
    FrameLink link = MakeLink(line);
    const int frames = 64;
    for (int i = 0; i < frames; ++i)
        ASSERT_LT(link.Send(WriteFrame(0x200 + 16u * static_cast<unsigned>(i))), 10) << i;
    EXPECT_EQ(link.Settle(), FrameLink::SettleEnd::Quiet);
    EXPECT_FALSE(link.TakeMisaligned());
    // Only the very first frame went out twice, before the wait was learnt.
    EXPECT_EQ(line.TriesOf(1), 2);
    EXPECT_EQ(static_cast<int>(line.tries.size()), frames + 1);
    EXPECT_EQ(link.Counts().repeats, 1u);
    EXPECT_GE(link.Counts().answerWaitMs, 50u);
    EXPECT_LE(link.Counts().answerWaitMs, kMaxAnswerWaitMs);
    ASSERT_FALSE(line.remarks.empty());
    EXPECT_NE(line.remarks.front().find("answer wait now"), std::string::npos);
}

TEST(FrameLink, LostTryOnAQuickTargetDoesNotLengthenTheWait) {
    VirtualLine line;
    // A noisy line: the first try never reached the target.
    line.target = [](const Try& t) {
        return t.command == 1 && t.attempt == 1 ? std::vector<Reply>{}
                                                : std::vector<Reply>{{1ms, kAck}};
    };
    FrameLink link = MakeLink(line);
    EXPECT_EQ(link.Send(WriteFrame(0x200)), 1);
    EXPECT_EQ(link.Send(WriteFrame(0x210)), 0);
    EXPECT_EQ(link.Settle(), FrameLink::SettleEnd::Quiet);
    EXPECT_EQ(link.Counts().answerWaitMs, kBaseWaitMs);
    EXPECT_FALSE(link.TakeMisaligned());
}

// Three frames where the middle one the target never answers: whatever
// the answers of the first do, the second must not count as acknowledged,
// and the third must get its own answer.
struct LateCase {
    const char* what;
    std::function<std::vector<Reply>(const Try&)> first; // the first command's answers
    int firstScore;
    bool misaligned; // the scenario cannot be matched and must be said so
};

TEST(FrameLink, AnswersThatComeLateNeverStandInForAnotherFramesAnswer) {
    const LateCase cases[] = {
        {"owed answer 1 ms after the first answer's delay",
         [](const Try& t) {
             return std::vector<Reply>{{t.attempt == 1 ? 25ms : 26ms, kAck}};
         },
         1, false},
        {"owed answer 3 ms after the first answer's delay",
         [](const Try& t) {
             return std::vector<Reply>{{t.attempt == 1 ? 25ms : 28ms, kAck}};
         },
         1, false},
        {"refusal of the repeat comes late",
         [](const Try& t) {
             return std::vector<Reply>{{25ms, t.attempt == 1 ? kAck : kNak}};
         },
         1, false},
        {"late refusal of the first try, then an acknowledgement",
         [](const Try& t) {
             return std::vector<Reply>{{25ms, t.attempt == 1 ? kNak : kAck}};
         },
         2, false}, // the refusal ends the second try's wait: a third goes out
        {"duplicate acknowledgement while the next frame is on the line",
         [](const Try&) {
             return std::vector<Reply>{{500us, kAck}, {600us, kAck}};
         },
         0, true},
        {"acknowledgement during the quiet period after a refusal",
         [](const Try& t) {
             return t.attempt == 1 ? std::vector<Reply>{{500us, kNak}, {3ms, kAck}}
                                   : std::vector<Reply>{{500us, kAck}};
         },
         1, true},
    };
    for (const LateCase& c : cases) {
        VirtualLine line;
        line.target = [&](const Try& t) {
            if (t.command == 1) return c.first(t);
            if (t.command == 2) return std::vector<Reply>{};
            return std::vector<Reply>{{500us, kAck}};
        };
        FrameLink link = MakeLink(line);
        EXPECT_EQ(link.Send(WriteFrame(0x200)), c.firstScore) << c.what;
        EXPECT_EQ(link.Send(WriteFrame(0x210)), 10) << c.what;
        EXPECT_EQ(link.Send(WriteFrame(0x220)), 0) << c.what;
        EXPECT_EQ(line.TriesOf(3), 1) << c.what;
        EXPECT_EQ(link.Settle(), FrameLink::SettleEnd::Quiet) << c.what;
        EXPECT_EQ(link.TakeMisaligned(), c.misaligned) << c.what;
    }
}

TEST(FrameLink, DuplicateAcknowledgementShiftsTheAnswersAndIsFoundAtTheEnd) {
    VirtualLine line;
    line.target = [](const Try& t) {
        return t.command == 2 ? std::vector<Reply>{{500us, kAck}, {1500us, kAck}}
                              : std::vector<Reply>{{500us, kAck}};
    };
    FrameLink link = MakeLink(line);
    for (unsigned i = 0; i < 6; ++i) ASSERT_EQ(link.Send(WriteFrame(0x200 + 16 * i)), 0);
    EXPECT_EQ(link.Settle(), FrameLink::SettleEnd::Quiet);
    EXPECT_TRUE(link.TakeMisaligned());
    EXPECT_FALSE(link.TakeMisaligned()) << "told once";
    EXPECT_EQ(link.Counts().misalignments, 1u);
}

TEST(FrameLink, PseudoTerminalsInstantAnswerIsItsFramesOwn) {
    // No baud rate holds bytes back on a pseudo-terminal: the answer may be
    // there before the frame could have crossed a real line.
    VirtualLine line;
    line.paced = false;
    line.byteTime = 0us;
    line.target = [](const Try&) { return std::vector<Reply>{{10us, kAck}}; };
    FrameLink link = MakeLink(line);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(link.Send(WriteFrame(0x200 + 16 * i)), 0);
    EXPECT_EQ(link.Settle(), FrameLink::SettleEnd::Quiet);
    EXPECT_FALSE(link.TakeMisaligned());
    EXPECT_EQ(line.tries.size(), 4u);
}

TEST(FrameLink, TargetThatAnswersEveryFrameTwiceIsFoundOutOfStep) {
    VirtualLine line;
    line.target = [](const Try&) { return std::vector<Reply>{{500us, kAck}, {700us, kAck}}; };
    FrameLink link = MakeLink(line);
    for (unsigned i = 0; i < 4; ++i) link.Send(WriteFrame(0x200 + 16 * i));
    link.Settle();
    EXPECT_TRUE(link.TakeMisaligned());
}

TEST(FrameLink, SlowWriterThatIgnoresOneWriteGetsThatWriteRefused) {
    // 16 bytes at 5 ms each, every repeat carried out in turn, and the
    // third write is never answered: the answers owed to the repeats of the
    // first, which come ever later, must not cover it.
    for (const auto delay : {80ms, 0ms}) {
        VirtualLine line;
        line.work = 80ms - delay;
        line.target = [&](const Try& t) {
            if (t.command == 3) return std::vector<Reply>{};
            return std::vector<Reply>{{delay + 100us, kAck}};
        };
        FrameLink link = MakeLink(line);
        EXPECT_LT(link.Send(WriteFrame(0x200)), 10);
        EXPECT_LT(link.Send(WriteFrame(0x210)), 10);
        EXPECT_EQ(link.Send(WriteFrame(0x220)), 10) << delay.count();
        EXPECT_EQ(line.TriesOf(2), 1) << delay.count();
    }
}

TEST(FrameLink, StopEndsTheExchangeAtOnce) {
    std::atomic<bool> stop{true};
    VirtualLine idle;
    FrameLink stopped = MakeLink(idle, &stop);
    EXPECT_EQ(stopped.Send(CommandFrame::Erase(0, 0)), 10);
    EXPECT_TRUE(idle.tries.empty());
    EXPECT_EQ(stopped.Settle(), FrameLink::SettleEnd::Stopped);

    // Raised while the third try waits for its answer: nothing more is sent.
    stop = false;
    VirtualLine line;
    line.target = [&](const Try& t) {
        stop = t.attempt == 3;
        return std::vector<Reply>{};
    };
    FrameLink link = MakeLink(line, &stop);
    EXPECT_EQ(link.Send(CommandFrame::Erase(0, 0)), 10);
    EXPECT_EQ(line.tries.size(), 3u);
}

// Plays the bootloader on the master: waits for each whole copy of `frame`
// in the byte stream and answers it with the next of `answers`.
void ScriptedTarget(test::PtyPair& pty, const Bytes& frame, const Bytes& answers, int& seen) {
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

TEST(FrameLinkOverPty, TargetThatRefusesOnceThenAcceptsScoresOne) {
    test::PtyPair pty;
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "230400"));
    const CommandFrame frame = WriteFrame();
    int seen = 0;
    std::thread target(ScriptedTarget, std::ref(pty), frame.Bytes(), Bytes{0x15, 0x06},
                       std::ref(seen));
    FrameLink link(port, 230400);
    EXPECT_EQ(link.Send(frame), 1);
    target.join();
    EXPECT_EQ(seen, 2);
}

TEST(FrameLinkOverPty, QuickAnswersOnAPseudoTerminalAreNotHeldToTheBaudRate) {
    // At 9600 baud a 9-byte frame needs 9.4 ms on a real line; a
    // pseudo-terminal carries it at once. Neither the look for stray bytes
    // before each frame nor the silence at the end may wait for a line
    // rate that the frames have long outrun.
    test::PtyPair pty;
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "9600"));
    const CommandFrame frame = CommandFrame::Run(0);
    constexpr int kFrames = 100;
    int seen = 0;
    std::thread target(ScriptedTarget, std::ref(pty), frame.Bytes(), Bytes(kFrames, kAck),
                       std::ref(seen));
    FrameLink link(port, 9600);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) EXPECT_EQ(link.Send(frame), 0) << i;
    EXPECT_EQ(link.Settle(), FrameLink::SettleEnd::Quiet);
    const auto took = std::chrono::steady_clock::now() - start;
    target.join();
    EXPECT_EQ(seen, kFrames);
    // The answer wait at the end is 210 ms; held to the line rate, the
    // frames alone would take 0.94 s more.
    EXPECT_LT(took, 700ms) << "the frames took as long as the line rate says";
}

TEST(FrameLinkOverPty, VanishedAdapterFailsAtOnceInsteadOfRetrying) {
    test::PtyPair pty;
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "300"));
    pty.CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    FrameLink link(port, 300);
    EXPECT_EQ(link.Send(CommandFrame::Erase(0, 0)), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s); // not 1000 x 6.7 s
    EXPECT_EQ(port.LastStatus(), PortStatus::HungUp);
}

} // namespace
} // namespace talvex
