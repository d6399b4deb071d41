// The acknowledged exchange of frames, with every answer byte accounted for.

#include "frame_link.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "serial_port.h"

namespace talvex {

namespace {

// What the bootloader takes as "forget the frame in hand": a run of zeros
// long enough to finish any frame, then two start bytes.
constexpr std::array<std::uint8_t, kResyncBlockSize> MakeResyncBlock() {
    std::array<std::uint8_t, kResyncBlockSize> block{};
    block[kResyncZeros] = kFrameStart;
    block[kResyncZeros + 1] = kFrameStart;
    return block;
}
constexpr std::array<std::uint8_t, kResyncBlockSize> kResyncBlock = MakeResyncBlock();

constexpr int kTryLimit = 1000;

// A line that keeps sending is not waited out for ever: after this many bytes
// a quiet period ends and the purge drops the rest.
constexpr int kQuietByteLimit = 32;

int StepSize(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 4 || bytes[3] != 'E') return 100;
    // A mass erase has value and page count all zero; an "E" for the page
    // at offset 0 carries a count of 1 and is a page erase.
    if (bytes.size() >= 10) {
        bool allZero = true;
        for (std::size_t i = 4; i <= 8; ++i) allZero = allZero && bytes[i] == 0;
        if (allZero) return 1;
    }
    return 10;
}

// Whole milliseconds, rounded up: a wait that is a little too long costs
// little, one that is too short shifts an answer.
std::uint32_t CeilMs(FrameLink::Clock::duration d) {
    if (d <= FrameLink::Clock::duration::zero()) return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    return static_cast<std::uint32_t>(std::min<long long>((us + 999) / 1000, 0x7FFFFFFF));
}

} // namespace

std::uint32_t AdaptedAnswerWaitMs(std::uint32_t baseWaitMs, std::uint32_t slowestMs) {
    const std::uint64_t wanted = 2ull * slowestMs + baseWaitMs / 2 + 2;
    const std::uint64_t cap = std::max(baseWaitMs, kMaxAnswerWaitMs);
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(baseWaitMs, wanted), cap));
}

FrameLink::FrameLink(ISerialPort& port, std::uint32_t baud, const std::atomic<bool>* stop,
                     NowFunction now)
    : port_(port),
      baseWaitMs_(CSerialPort::ReadTimeoutMs(std::max<std::uint32_t>(baud, 1), 1)),
      byteTime_(std::chrono::nanoseconds(10'000'000'000LL / std::max<std::uint32_t>(baud, 1))),
      stop_(stop),
      now_(now ? std::move(now) : NowFunction([] { return Clock::now(); })),
      wait_(baseWaitMs_) {
    counts_.answerWaitMs = baseWaitMs_;
}

bool FrameLink::Stopped() const {
    return (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) ||
           port_.LastStatus() == PortStatus::Stopped;
}

bool FrameLink::TakeMisaligned() {
    const bool was = misaligned_;
    misaligned_ = false;
    return was;
}

FrameLink::Heard FrameLink::Listen(Clock::time_point until, Answer& answer) {
    for (;;) {
        const Clock::time_point now = now_();
        std::uint8_t byte[2] = {0, 0};
        std::size_t received = 0;
        const bool ok =
            port_.ReadFor(byte, 1, received, std::chrono::milliseconds(CeilMs(until - now)));
        if (received == 1) {
            answer = Answer{now_(), byte[0]};
            return Heard::Byte;
        }
        if (port_.LastStatus() == PortStatus::Stopped || Stopped()) return Heard::Stopped;
        if (!ok) return Heard::Failed;
        if (now_() >= until) return Heard::Nothing;
    }
}

void FrameLink::Stray(std::uint8_t byte) {
    ++counts_.misalignments;
    misaligned_ = true;
    char text[128];
    std::snprintf(text, sizeof text,
                  "answer %02X came when no frame was owed one: answers and frames are out of step",
                  byte);
    port_.Remark(text);
}

void FrameLink::Take(const Answer& answer) {
    if (!exchange_.Owed()) {
        Stray(answer.byte);
        return;
    }
    // A byte that came while the latest try was still crossing the line is
    // an earlier frame's answer (a target that answered twice), not its
    // own, whatever it says.
    if (exchange_.answers.size() + 1 == exchange_.sends.size() && answer.at < exchange_.earliest) {
        Stray(answer.byte);
        return;
    }
    exchange_.answers.push_back(answer);
    if (answer.byte == kAck) exchange_.accepted = true;
}

std::chrono::milliseconds FrameLink::GuardWindow() const {
    // Paired in order, each answer with the oldest try: the longest reading
    // of how late they come. A target that carries out every repeat in turn
    // answers each later than the one before, and the last may still be on
    // its way long after the first came.
    const Exchange& e = exchange_;
    std::uint32_t slowest = 0;
    for (std::size_t i = 0; i < e.answers.size() && i < e.sends.size(); ++i)
        slowest = std::max(slowest, CeilMs(e.answers[i].at - e.sends[i]));
    return std::max(wait_, std::chrono::milliseconds(AdaptedAnswerWaitMs(baseWaitMs_, slowest)));
}

FrameLink::QuietEnd FrameLink::Quiet(Clock::time_point notBefore, bool guard) {
    Clock::time_point silentSince = now_();
    for (int bytes = 0;;) {
        const Clock::time_point until =
            std::max(silentSince + (guard ? GuardWindow() : wait_), notBefore);
        Answer answer;
        switch (Listen(until, answer)) {
        case Heard::Nothing: return QuietEnd::Reached;
        case Heard::Failed: return QuietEnd::Failed;
        case Heard::Stopped: return QuietEnd::Stopped;
        case Heard::Byte: break;
        }
        Take(answer);
        if (++bytes >= kQuietByteLimit) return QuietEnd::Babbling;
        silentSince = answer.at;
    }
}

void FrameLink::Learn() {
    const Exchange& e = exchange_;
    const std::size_t m = e.answers.size();
    const std::size_t k = e.sends.size();
    if (m == 0 || m > k) return;
    // With every try answered the pairing is exact. With some answer lost,
    // the answers are paired with the latest tries: the shortest reading,
    // so that a noisy line that drops frames does not inflate the wait.
    const std::size_t offset = k - m;
    std::uint32_t slowest = 0;
    for (std::size_t i = 0; i < m; ++i)
        slowest = std::max(slowest, CeilMs(e.answers[i].at - e.sends[offset + i]));
    if (slowest <= slowestMs_) return;
    slowestMs_ = slowest;
    counts_.slowestAnswerMs = slowest;
    const std::uint32_t wait = AdaptedAnswerWaitMs(baseWaitMs_, slowestMs_);
    if (wait == static_cast<std::uint32_t>(wait_.count())) return;
    wait_ = std::chrono::milliseconds(wait);
    counts_.answerWaitMs = wait;
    port_.Remark("answer wait now " + std::to_string(wait) + " ms: the slowest answer took " +
                 std::to_string(slowest) + " ms");
}

FrameLink::SettleEnd FrameLink::CloseExchange(bool settle) {
    Exchange& e = exchange_;
    if (settle || e.Owed() || e.timedOut) {
        // Tries that went unanswered may still be answered, as late as the
        // first answer of this frame came after its first try: wait that
        // long after the last try, and then for a silent answer wait.
        Clock::time_point notBefore = now_();
        if (e.Owed() && !e.answers.empty()) {
            const std::uint32_t first = CeilMs(e.answers.front().at - e.sends.front());
            notBefore = std::max(
                notBefore, e.sends.back() +
                               std::chrono::milliseconds(AdaptedAnswerWaitMs(baseWaitMs_, first)));
        }
        switch (Quiet(notBefore, true)) {
        case QuietEnd::Failed: return SettleEnd::Failed;
        case QuietEnd::Stopped: return SettleEnd::Stopped;
        case QuietEnd::Babbling: port_.Purge(PurgeWhat::All); break;
        case QuietEnd::Reached: break;
        }
    } else {
        // Nothing is owed: whatever has come in meanwhile is a stray.
        for (int bytes = 0; bytes < kQuietByteLimit; ++bytes) {
            Answer answer;
            const Heard heard = Listen(now_(), answer);
            if (heard == Heard::Failed) return SettleEnd::Failed;
            if (heard == Heard::Stopped) return SettleEnd::Stopped;
            if (heard == Heard::Nothing) break;
            Take(answer);
        }
    }
    Learn();
    exchange_ = Exchange{};
    return SettleEnd::Quiet;
}

void FrameLink::Reopened() {
    purged_ = false;
    exchange_ = Exchange{};
}

FrameLink::SettleEnd FrameLink::Settle() {
    if (Stopped()) return SettleEnd::Stopped;
    return CloseExchange(true);
}

int FrameLink::Send(const CommandFrame& frame) {
    ++counts_.frames;
    if (!purged_) {
        // Whatever the line held before the first frame (the rest of the
        // identification, noise from the reset) is no answer.
        port_.Purge(PurgeWhat::All);
        purged_ = true;
    } else if (CloseExchange(false) != SettleEnd::Quiet) {
        return kNeverAcknowledged;
    }
    const std::vector<std::uint8_t>& bytes = frame.Bytes();
    const int step = StepSize(bytes);
    int tries = 0;
    while (tries < kTryLimit) {
        if (Stopped()) return kNeverAcknowledged;
        port_.Purge(PurgeWhat::Output);
        if (!exchange_.sends.empty()) ++counts_.repeats;
        std::size_t moved = 0;
        // Only a real line is bound by its baud rate; on a pseudo-terminal
        // an answer may follow its frame at once.
        exchange_.earliest = port_.PacedLine()
                                 ? now_() + byteTime_ * static_cast<Clock::rep>(bytes.size() + 1)
                                 : Clock::time_point::min();
        // A failed or short write is not looked at: the wait below then
        // simply finds no acknowledgement. The port's write returns once
        // the frame has left, so the answer wait is the target's to use.
        port_.Write(bytes.data(), bytes.size(), moved);
        exchange_.sends.push_back(now_());
        if (Stopped()) return kNeverAcknowledged;

        const Clock::time_point deadline = exchange_.sends.back() + wait_;
        for (;;) {
            Answer answer;
            const Heard heard = Listen(deadline, answer);
            // A port that reports a hang-up or a device error cannot answer
            // any later try either; hammering it only delays the report.
            if (heard == Heard::Failed || heard == Heard::Stopped) return kNeverAcknowledged;
            if (heard == Heard::Nothing) {
                exchange_.timedOut = true;
                break;
            }
            Take(answer);
            // Every try carries the same frame, so an acknowledgement of
            // any of them is the target's yes to this frame.
            if (exchange_.accepted) return tries / 100;
            if (!exchange_.Owed()) break; // this try was refused
        }
        tries += step;
        port_.Write(kResyncBlock.data(), kResyncBlock.size(), moved);
        ++counts_.resyncBlocks;
        if (Stopped()) return kNeverAcknowledged;
        // A late answer comes now rather than during the next try's wait;
        // an acknowledgement among them still counts for this frame, as
        // long as a try was owed it.
        const QuietEnd quiet = Quiet(now_(), false);
        if (quiet == QuietEnd::Failed || quiet == QuietEnd::Stopped) return kNeverAcknowledged;
        if (exchange_.accepted) return (tries - step) / 100;
        if (quiet == QuietEnd::Babbling) port_.Purge(PurgeWhat::All);
    }
    return tries / 100;
}

} // namespace talvex
