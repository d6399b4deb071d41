#pragma once
// The acknowledged exchange of command frames over one open port, for the
// whole of a run.
//
// The bootloader's answer carries no sequence number: only the order of
// the bytes ties an answer to its frame. So the link counts every try it
// sends and every answer byte it receives, hands each byte to the oldest
// try still owed one, and learns how long the target takes to answer, so
// that it never sends a new frame while an answer may still be on its way.
// A byte that no try is owed means the host can no longer tell which frame
// an answer belonged to; the link counts it as a misalignment, and the
// engine then has the target verify what was sent instead of trusting the
// answers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "command_frame.h"

namespace talvex {

class ISerialPort;

struct LinkCounts {
    std::uint64_t frames = 0;        // frames handed to Send
    std::uint64_t repeats = 0;       // tries after a frame's first
    std::uint64_t resyncBlocks = 0;  // sent after tries that were not acknowledged
    std::uint64_t misalignments = 0; // answer bytes that no try was owed
    std::uint32_t answerWaitMs = 0;  // the answer wait now in force
    std::uint32_t slowestAnswerMs = 0;
};

// The longest answer wait the link ever uses: a target slower than this is
// taken for a silent one.
constexpr std::uint32_t kMaxAnswerWaitMs = 2000;

// The answer wait for a target whose slowest answer so far took slowestMs:
// twice that plus a margin, so that jitter of the same size is still waited
// for, never below the baud rate's wait and never above the cap.
std::uint32_t AdaptedAnswerWaitMs(std::uint32_t baseWaitMs, std::uint32_t slowestMs);

class FrameLink {
public:
    using Clock = std::chrono::steady_clock;
    using NowFunction = std::function<Clock::time_point()>;

    // At the baud rate given, every answer wait is at least the port's
    // one-byte read time-out. The port must stay open while the link is in
    // use. A raised stop flag ends every wait at once. Tests give a clock
    // of their own.
    FrameLink(ISerialPort& port, std::uint32_t baud, const std::atomic<bool>* stop = nullptr,
              NowFunction now = {});

    // Sends the frame until it is acknowledged or its tries are used up and
    // returns the failure score 0..10, as the engine has always read it. A
    // try that times out is followed by the resynchronisation block and a
    // quiet period; a new frame goes out only once every earlier try's
    // answer has come, or the line has been silent for the answer wait.
    int Send(const CommandFrame& frame);

    // The port was closed and opened again within the same run: the next
    // frame starts from a purged line, and the answer wait learnt so far
    // stays.
    void Reopened();

    enum class SettleEnd { Quiet, Failed, Stopped };
    // The end of a pass: waits until every owed answer has arrived and the
    // line has then been silent for the answer wait. An answer that is
    // still on its way from a frame whose answer was taken too early turns
    // up here as a stray byte, a misalignment.
    SettleEnd Settle();

    // True once a misalignment has been seen since the last call.
    bool TakeMisaligned();
    const LinkCounts& Counts() const { return counts_; }
    std::chrono::milliseconds AnswerWait() const { return wait_; }

private:
    struct Answer {
        Clock::time_point at;
        std::uint8_t byte = 0;
    };
    // The tries of the frame in hand (or of the last one, while answers
    // are still owed) and the answers handed to them, in order.
    struct Exchange {
        std::vector<Clock::time_point> sends;
        std::vector<Answer> answers;
        bool timedOut = false; // a try's answer wait ran out
        // No answer to the latest try can come before its frame has crossed
        // the line and the answer byte after it.
        Clock::time_point earliest{};
        bool accepted = false;
        bool Owed() const { return answers.size() < sends.size(); }
    };
    enum class Heard { Nothing, Byte, Failed, Stopped };

    Heard Listen(Clock::time_point until, Answer& answer);
    // Hands a byte to the oldest try still owed an answer; a byte with no
    // such try is a stray.
    void Take(const Answer& answer);
    void Stray(std::uint8_t byte);
    // Reads until the line has been silent for the answer wait (for a
    // guard, at least the guard window), and not before notBefore.
    enum class QuietEnd { Reached, Babbling, Failed, Stopped };
    QuietEnd Quiet(Clock::time_point notBefore, bool guard);
    // How long a guard waits in silence for the answers its exchange still
    // owes.
    std::chrono::milliseconds GuardWindow() const;
    // Ends the exchange in hand: waits for the answers it still owes, then
    // learns from when they came.
    // With settle, the silence is waited for even when nothing is owed.
    SettleEnd CloseExchange(bool settle);
    void Learn();
    bool Stopped() const;

    ISerialPort& port_;
    const std::uint32_t baseWaitMs_;
    const Clock::duration byteTime_;
    const std::atomic<bool>* stop_;
    NowFunction now_;
    std::chrono::milliseconds wait_;
    std::uint32_t slowestMs_ = 0;
    bool purged_ = false;
    bool misaligned_ = false;
    Exchange exchange_;
    LinkCounts counts_;
};

} // namespace talvex
