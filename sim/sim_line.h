#pragma once
// The simulator's end of the serial line: a pseudo-terminal it creates, or
// a real device. Backends: sim_line_posix.cpp.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zarq {

class SimLine {
public:
    // A new pseudo-terminal whose serial end is raw from the start and held
    // open by the simulator itself, so that hosts may come and go.
    static std::unique_ptr<SimLine> OpenPty(std::string& error);
    // A real device, raw; at the given baud rate unless it is 0.
    static std::unique_ptr<SimLine> OpenDevice(const std::string& path, std::uint32_t baud,
                                               std::string& error);
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    const std::string& Path() const;

    // True for a pseudo-terminal: nothing paces what the host writes, so
    // the simulator has to take the bytes off at the line's rate itself.
    bool IsPty() const;

    enum class Wait { Readable, Woken, TimedOut, Failed };
    // timeoutMs < 0 waits without limit.
    Wait WaitReadable(int timeoutMs, std::string& error);
    // As WaitReadable, up to a monotonic deadline in ns (< 0: no limit),
    // kept to the microsecond where the platform allows.
    Wait WaitReadableUntil(std::int64_t deadlineNs, std::string& error);
    // Bytes the host has written that wait to be read; 0 when unknown.
    std::size_t Pending() const;
    // Bytes read (0 when none were ready), or -1 with a message.
    long Read(std::uint8_t* buffer, std::size_t count, std::string& error);
    // A line never blocks its sender: when the far end does not take the
    // bytes within a short while they are dropped, as a UART would lose them.
    bool Write(const std::uint8_t* data, std::size_t count, std::string& error);
    // False when woken before the deadline (monotonic ns).
    bool SleepUntil(std::int64_t deadlineNs);
    // Waits, at most maxMs, until the host has read what was sent.
    void DrainOutput(int maxMs);
    // Ends the line as an unplugged cable would. Safe to call twice.
    void Close();
    bool IsOpen() const;
    // From another thread: makes WaitReadable and SleepUntil return.
    void Wake();

private:
    struct Impl;
    explicit SimLine(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

std::int64_t MonotonicNs();
// Folder of the running executable, with a trailing slash; empty if unknown.
std::string ExecutableDir();
// Replaces a stale symlink at link, never another kind of file.
bool MakeLink(const std::string& link, const std::string& target, std::string& error);
// Removes link only while it still points at target.
void RemoveLink(const std::string& link, const std::string& target);

} // namespace zarq
