// Frames for the target's bootloader and the acknowledged, retried exchange.

#include "command_frame.h"

#include "serial_port.h"

#include <array>
#include <chrono>

namespace talvex {

namespace {

// What the bootloader takes as "forget the frame in hand": a run of zeros
// long enough to finish any frame, then two start bytes.
constexpr std::array<std::uint8_t, 25> MakeResyncBlock() {
    std::array<std::uint8_t, 25> block{};
    block[23] = 0x07;
    block[24] = 0x07;
    return block;
}
constexpr std::array<std::uint8_t, 25> kResyncBlock = MakeResyncBlock();

constexpr int kTryLimit = 1000;

// A line that keeps sending is not waited out for ever: after this many bytes
// the quiet period ends and the purge drops the rest.
constexpr int kQuietByteLimit = 32;

enum class Quiet { Reached, Babbling, Failed };

// Takes one answer byte off the count of tries still owed an answer.
void Answered(int& unanswered) {
    if (unanswered > 0) --unanswered;
}

// After a try that was not acknowledged, its answer may still be on its way
// (a target that programs or erases slowly, an adapter that holds bytes
// back). Reading until the line has been silent for a whole answer wait lets
// that answer arrive now, instead of during the next try's wait, where it
// would be taken for the answer to a frame the target may refuse. A late
// acknowledgement seen here belongs to a try of this very frame: lateAck
// tells the caller, so that a slow but willing target is not sent the
// command again.
Quiet WaitForQuiet(ISerialPort& port, int& unanswered, bool& lateAck) {
    for (int discarded = 0; discarded < kQuietByteLimit; ++discarded) {
        std::uint8_t late[2] = {0, 0};
        std::size_t received = 0;
        if (!port.Read(late, 1, received)) return Quiet::Failed;
        if (received == 0) return Quiet::Reached;
        Answered(unanswered);
        if (late[0] == kAck) lateAck = true;
    }
    return Quiet::Babbling;
}

// An acknowledgement that comes after earlier tries went unanswered may be
// the late answer of one of them; the tries after it then still owe their
// answers. All tries carry the same frame, so the acknowledgement stands for
// this frame, but the answers still owed must not reach the next frame's
// wait. They come at most as late as the one just received did after the
// first try, so they are read and dropped until then.
void DropAnswersStillOwed(ISerialPort& port, int unanswered,
                          std::chrono::steady_clock::time_point until) {
    while (unanswered > 0 && std::chrono::steady_clock::now() < until) {
        std::uint8_t late[2] = {0, 0};
        std::size_t received = 0;
        if (!port.Read(late, 1, received) || port.LastStatus() == PortStatus::Stopped) return;
        if (received == 1) Answered(unanswered);
    }
}

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

} // namespace

std::uint8_t RotateLeft3(std::uint8_t b) { return static_cast<std::uint8_t>((b << 3) | (b >> 5)); }

std::uint8_t FrameChecksum(const std::uint8_t* fromLength, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += fromLength[i];
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::optional<CommandFrame> CommandFrame::Make(char letter, std::uint32_t value,
                                               const std::uint8_t* data, std::size_t count) {
    if (count > kMaxFrameData || (count > 0 && data == nullptr)) return std::nullopt;
    CommandFrame frame;
    std::vector<std::uint8_t>& b = frame.bytes_;
    b.reserve(count + 9);
    b.push_back(0x07);
    b.push_back(0x0E);
    b.push_back(static_cast<std::uint8_t>(5 + count));
    b.push_back(static_cast<std::uint8_t>(letter));
    b.push_back(static_cast<std::uint8_t>(value >> 24));
    b.push_back(static_cast<std::uint8_t>(value >> 16));
    b.push_back(static_cast<std::uint8_t>(value >> 8));
    b.push_back(static_cast<std::uint8_t>(value));
    if (count > 0) b.insert(b.end(), data, data + count);
    b.push_back(FrameChecksum(b.data() + 2, b.size() - 2));
    return frame;
}

CommandFrame CommandFrame::Erase(std::uint32_t offset, std::uint8_t pages) {
    return *Make('E', offset, &pages, 1);
}

CommandFrame CommandFrame::Protect(std::uint32_t value, std::uint8_t subCode) {
    return *Make('P', value, &subCode, 1);
}

CommandFrame CommandFrame::Run(std::uint32_t value) { return *Make('R', value, nullptr, 0); }

std::optional<CommandFrame> CommandFrame::Verify(std::uint32_t offset, const std::uint8_t* data,
                                                 std::size_t count) {
    if (count > kMaxFrameData || (count > 0 && data == nullptr)) return std::nullopt;
    std::array<std::uint8_t, kMaxFrameData> rotated{};
    for (std::size_t i = 0; i < count; ++i) rotated[i] = RotateLeft3(data[i]);
    return Make('V', offset, rotated.data(), count);
}

int SendFrame(ISerialPort& port, const CommandFrame& frame, const std::atomic<bool>* stop) {
    using Clock = std::chrono::steady_clock;
    const std::vector<std::uint8_t>& bytes = frame.Bytes();
    const int step = StepSize(bytes);
    const auto stopped = [&] {
        return (stop != nullptr && stop->load(std::memory_order_relaxed)) ||
               port.LastStatus() == PortStatus::Stopped;
    };
    int tries = 0;
    int unanswered = 0; // tries whose answer byte has not come yet
    Clock::time_point firstTry{};
    Clock::time_point lastTry{};
    while (tries < kTryLimit) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return kNeverAcknowledged;
        port.Purge(PurgeWhat::All);
        lastTry = Clock::now();
        if (tries == 0) firstTry = lastTry;
        std::size_t moved = 0;
        // A failed or short write is not looked at: the read below then
        // simply finds no acknowledgement. The port's write returns once the
        // frame has left, so the answer wait is the target's to use.
        port.Write(bytes.data(), bytes.size(), moved);
        ++unanswered;
        if (stopped()) return kNeverAcknowledged;
        std::uint8_t answer[2] = {0, 0};
        std::size_t received = 0;
        const bool readOk = port.Read(answer, 1, received);
        if (received == 1) Answered(unanswered);
        if (received == 1 && answer[0] == kAck) {
            if (unanswered > 0)
                DropAnswersStillOwed(port, unanswered, lastTry + (Clock::now() - firstTry));
            return tries / 100;
        }
        // A port that reports a hang-up or a device error cannot answer any
        // later try either; hammering it up to 1000 times only delays the
        // failure report.
        if (!readOk || stopped()) return kNeverAcknowledged;
        tries += step;
        port.Write(kResyncBlock.data(), kResyncBlock.size(), moved);
        if (stopped()) return kNeverAcknowledged;
        bool lateAck = false;
        const Quiet quiet = WaitForQuiet(port, unanswered, lateAck);
        if (quiet == Quiet::Failed || stopped()) return kNeverAcknowledged;
        // The target took the frame after all, only later than the wait;
        // the line is quiet again, so nothing of this exchange can reach the
        // next frame. The score counts the tries before the one answered.
        if (lateAck && quiet == Quiet::Reached) return (tries - step) / 100;
        port.Purge(PurgeWhat::All);
    }
    return tries / 100;
}

} // namespace talvex
