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

const Bytes kResync = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,   0,
                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07, 0x07};

// Records every call as text ("P*" purge all, "F" frame, "R1" read, "S"
// resync block). The first read after the frame is the try's answer wait,
// answered by `answer(try)`; reads after a resync block belong to the quiet
// period and are answered by `late(n)`; reads after an acknowledgement wait
// for answers still owed and are answered by `owed(n)` (n counts the reads
// of each kind). A silent read takes `silence` of real time.
class RecordingPort : public ISerialPort {
public:
    std::vector<std::string> calls;
    Bytes frame;
    std::function<int(int)> answer = [](int) { return -1; }; // -1: silence
    std::function<int(int)> late = [](int) { return -1; };
    std::function<int(int)> owed = [](int) { return -1; };
    std::chrono::milliseconds silence{0};
    bool writesFail = false;
    int deadFromRead = 0; // reads from this one on report a dead device
    std::function<void(int)> onAnswerWait;
    PortStatus status = PortStatus::TimedOut;
    std::function<PortStatus(const std::string&)> statusAfter; // by the call just made
    int reads = 0;
    int tries = 0;
    int lateReads = 0;
    int owedReads = 0;

    bool Open(const std::string&, const std::string&) override { return true; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override {
        const std::string kind = Kind();
        calls.push_back("R" + std::to_string(count));
        Note();
        received = 0;
        ++reads;
        if (kind == "answer" && onAnswerWait) onAnswerWait(tries);
        if (deadFromRead != 0 && reads >= deadFromRead) return false;
        const int byte = kind == "answer" ? answer(tries)
                         : kind == "late" ? late(++lateReads)
                                          : owed(++owedReads);
        if (byte >= 0) {
            buffer[0] = static_cast<std::uint8_t>(byte);
            buffer[1] = 0;
            received = 1;
        } else {
            std::this_thread::sleep_for(silence);
        }
        return true;
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override {
        const Bytes bytes(data, data + count);
        calls.push_back(bytes == kResync ? "S" : bytes == frame ? "F" : "?");
        if (calls.back() == "F") ++tries;
        Note();
        written = writesFail ? 0 : count;
        return !writesFail;
    }
    bool Purge(PurgeWhat what) override {
        calls.push_back(what == PurgeWhat::All ? "P*" : "Po");
        Note();
        return true;
    }
    PortStatus LastStatus() const override { return status; }

    long Count(const char* what) const { return std::count(calls.begin(), calls.end(), what); }
    // The calls after the last frame was written.
    std::vector<std::string> AfterLastFrame() const {
        const auto last = std::find(calls.rbegin(), calls.rend(), "F");
        return std::vector<std::string>(last.base(), calls.end());
    }

private:
    // What a read now would be, from the last write before it.
    std::string Kind() const {
        for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
            if (*it == "S") return "late";
            if (*it == "F") return it == calls.rbegin() ? "answer" : "owed";
        }
        return "answer";
    }
    void Note() {
        if (statusAfter) status = statusAfter(calls.back());
    }
};

CommandFrame WriteFrame() {
    const std::uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    return *CommandFrame::Make('W', 0x200, data, sizeof data);
}

int Send(RecordingPort& port, const CommandFrame& frame, const std::atomic<bool>* stop = nullptr) {
    port.frame = frame.Bytes();
    return SendFrame(port, frame, stop);
}

using Calls = std::vector<std::string>;

TEST(SendFrame, ImmediateAcknowledgementIsOnePurgeOneWriteOneRead) {
    RecordingPort port;
    port.answer = [](int) { return 0x06; };
    EXPECT_EQ(Send(port, WriteFrame()), 0);
    EXPECT_EQ(port.calls, (Calls{"P*", "F", "R1"}));
}

TEST(SendFrame, NeverAnsweringTargetGetsEveryTryWithAResyncBlockAndAQuietPeriod) {
    const struct {
        const char* what;
        CommandFrame frame;
        long tries;
    } cases[] = {
        {"write", WriteFrame(), 10},
        {"run", CommandFrame::Run(0), 10},
        {"page erase", CommandFrame::Erase(0x400, 1), 100},
        {"page erase at offset 0", CommandFrame::Erase(0, 1), 100},
        {"mass erase", CommandFrame::Erase(0, 0), 1000},
    };
    // Purge, frame, answer wait, resync block, one silent read: the line is
    // quiet, so the purge that follows drops nothing of this try's answer.
    const Calls oneTry = {"P*", "F", "R1", "S", "R1", "P*"};
    for (const auto& c : cases) {
        RecordingPort port;
        EXPECT_EQ(Send(port, c.frame), 10) << c.what;
        ASSERT_EQ(static_cast<long>(port.calls.size()), 6 * c.tries) << c.what;
        for (std::size_t at = 0; at < port.calls.size(); at += 6)
            ASSERT_TRUE(std::equal(oneTry.begin(), oneTry.end(), port.calls.begin() + at))
                << c.what << at;
    }
}

TEST(SendFrame, ScoreIsFailedTriesTimesStepOverHundred) {
    const struct {
        const char* what;
        CommandFrame frame;
        int ackAt;
        int wrong;
        int score;
    } cases[] = {
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
        port.answer = [&](int attempt) { return attempt == c.ackAt ? 0x06 : c.wrong; };
        EXPECT_EQ(Send(port, c.frame), c.score) << c.what;
        const long tries = c.ackAt ? c.ackAt : 10;
        EXPECT_EQ(port.Count("F"), tries) << c.what;
        EXPECT_EQ(port.Count("S"), c.ackAt ? tries - 1 : tries) << c.what;
        EXPECT_EQ(port.lateReads, port.Count("S")) << c.what; // one quiet read per refused try
        if (c.ackAt) {
            // No purge and nothing written after the acknowledged try; reads
            // for answers still owed only where earlier tries went unanswered.
            for (const std::string& call : port.AfterLastFrame()) EXPECT_EQ(call, "R1") << c.what;
            EXPECT_EQ(port.owedReads > 0, c.wrong < 0 && c.ackAt > 1) << c.what;
        }
    }
}

TEST(SendFrame, LateRefusalsAreDroppedInTheQuietPeriodNeverCreditedToTheNextTry) {
    // Try 1 is refused only after its wait, with a stray byte behind the
    // refusal. Neither may count for try 2, which the target refuses at
    // once; try 3 is acknowledged.
    RecordingPort port;
    port.answer = [](int attempt) { return attempt == 1 ? -1 : attempt == 2 ? 0x15 : 0x06; };
    port.late = [](int n) { return n == 1 ? 0x15 : n == 2 ? 0x55 : -1; };
    EXPECT_EQ(Send(port, WriteFrame()), 2);
    EXPECT_EQ(port.calls, (Calls{"P*", "F", "R1", "S", "R1", "R1", "R1", "P*", "P*", "F", "R1", "S",
                                 "R1", "P*", "P*", "F", "R1"}));
}

TEST(SendFrame, LateAcknowledgementCountsForThisFrameOnceTheLineIsQuiet) {
    // A slow target takes try 1 after its wait. The frame is not sent again
    // (a second erase or write of the same command helps nobody), and
    // SendFrame returns only once the line is silent, so nothing of this
    // exchange reaches the next frame.
    RecordingPort port;
    port.answer = [](int attempt) { return attempt == 1 ? -1 : 0x15; };
    port.late = [](int n) { return n == 1 ? 0x06 : n == 2 ? 0x55 : -1; };
    EXPECT_EQ(Send(port, WriteFrame()), 0);
    EXPECT_EQ(port.calls, (Calls{"P*", "F", "R1", "S", "R1", "R1", "R1"}));
    EXPECT_EQ(port.Count("F"), 1u);
}

TEST(SendFrame, AcknowledgementAfterUnansweredTriesWaitsForTheAnswersStillOwed) {
    // Try 1 goes unanswered in its wait and in the quiet period; the
    // acknowledgement during try 2 may be try 1's, so try 2's own answer is
    // still owed and must not be left for the next frame.
    RecordingPort port;
    port.answer = [](int attempt) { return attempt == 2 ? 0x06 : -1; };
    port.owed = [](int n) { return n == 1 ? 0x06 : -1; };
    EXPECT_EQ(Send(port, WriteFrame()), 1);
    EXPECT_EQ(port.calls, (Calls{"P*", "F", "R1", "S", "R1", "P*", "P*", "F", "R1", "R1"}));

    // An answer that never comes is waited for only as long as the one that
    // came took after the first try.
    RecordingPort silent;
    silent.silence = 30ms;
    silent.answer = [](int attempt) { return attempt == 2 ? 0x06 : -1; };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(silent, WriteFrame()), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(silent.owedReads, 1);
    EXPECT_LE(silent.owedReads, 3);
    EXPECT_GE(took, 120ms); // two silent reads for try 1, then at least as long again
    EXPECT_LT(took, 250ms);
}

TEST(SendFrame, BabblingLineEndsTheQuietPeriodAfterABoundedNumberOfBytes) {
    RecordingPort port;
    port.late = [](int) { return 0x06; }; // a line that never falls silent
    EXPECT_EQ(Send(port, WriteFrame()), 10);
    EXPECT_EQ(port.Count("F"), 10);
    EXPECT_EQ(port.Count("P*"), 20);
    EXPECT_EQ(port.lateReads, 10 * 32);
}

TEST(SendFrame, FailedWritesAreNotLookedAtButADeadPortEndsTheExchange) {
    RecordingPort port;
    port.writesFail = true;
    port.answer = [](int attempt) { return attempt == 3 ? 0x06 : -1; };
    EXPECT_EQ(Send(port, WriteFrame()), 2);

    // The port dies in the quiet period after the first try.
    RecordingPort dead;
    dead.deadFromRead = 2;
    EXPECT_EQ(Send(dead, CommandFrame::Erase(0, 0)), 10);
    EXPECT_EQ(dead.calls, (Calls{"P*", "F", "R1", "S", "R1"}));
}

TEST(SendFrame, StopEndsTheExchangeAtOnce) {
    std::atomic<bool> stop{true};
    RecordingPort idle;
    EXPECT_EQ(Send(idle, CommandFrame::Erase(0, 0), &stop), 10);
    EXPECT_TRUE(idle.calls.empty());

    // Raised while the third try waits for its answer: nothing more is sent.
    stop = false;
    RecordingPort port;
    port.onAnswerWait = [&](int attempt) { stop = attempt == 3; };
    EXPECT_EQ(Send(port, CommandFrame::Erase(0, 0), &stop), 10);
    EXPECT_EQ(port.Count("F"), 3);
    EXPECT_EQ(port.calls.back(), "R1");

    // A port that saw the stop first (its wait ended with Stopped) ends the
    // exchange wherever it happens, without the flag being passed in.
    for (const char* where : {"F", "R1", "S"}) {
        RecordingPort stopping;
        stopping.statusAfter = [&](const std::string& call) {
            return call == where ? PortStatus::Stopped : PortStatus::TimedOut;
        };
        EXPECT_EQ(Send(stopping, CommandFrame::Erase(0, 0)), 10) << where;
        EXPECT_EQ(stopping.calls.back(), where) << where;
        EXPECT_EQ(stopping.Count("F"), 1) << where;
    }
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

TEST(SendFrameOverPty, TargetThatRefusesOnceThenAcceptsScoresOne) {
    test::PtyPair pty;
    CSerialPort port;
    ASSERT_TRUE(port.Open(pty.SlavePath(), "230400"));
    const CommandFrame frame = WriteFrame();
    int seen = 0;
    std::thread target(ScriptedTarget, std::ref(pty), frame.Bytes(), Bytes{0x15, 0x06},
                       std::ref(seen));
    EXPECT_EQ(SendFrame(port, frame), 1);
    target.join();
    EXPECT_EQ(seen, 2);
}

TEST(SendFrameOverPty, VanishedAdapterFailsAtOnceInsteadOfRetrying) {
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
