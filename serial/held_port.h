#pragma once
// A port kept open from one download to the next, for board after board on
// one fixture: each download opens and closes the port as it always does,
// but the device stays open in between. Closing and opening it again would
// drop the modem lines (resetting many a board) and lose what the next
// board says while the port is closed.

#include <atomic>
#include <memory>
#include <string>

#include "serial_port.h"

namespace talvex {

// The device itself, shared by the HeldPort of each download on the line.
// Its owner (the board loop) releases it at the end; until then a download's
// Close leaves it open.
class HeldLine {
public:
    explicit HeldLine(std::unique_ptr<ISerialPort> device) : device_(std::move(device)) {}

    ISerialPort& Device() { return *device_; }
    // The device failed or went away (a read or write that reported an
    // error or a hang-up, or an open that failed): it has been closed, and
    // the loop must not count on it any more.
    bool Lost() const { return lost_.load(); }
    void MarkLost() { lost_ = true; }

    // Names the device is open with; empty while closed.
    std::string port;
    std::string baud;

private:
    std::unique_ptr<ISerialPort> device_;
    std::atomic<bool> lost_{false};
};

class HeldPort final : public ISerialPort {
public:
    explicit HeldPort(std::shared_ptr<HeldLine> line) : line_(std::move(line)) {}
    // Takes the download's stop flag back off the device: the flag dies with
    // the download.
    ~HeldPort() override;
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    // Opens the device, or takes it as it is when it is open already with
    // the same port and rate; then nothing left over from the board before
    // may be taken for an answer, so both sides are purged.
    bool Open(const std::string& port, const std::string& baud) override;
    // Leaves the device open, unless it failed.
    bool Close() override;
    bool IsOpen() const override { return open_; }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override;
    bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                 std::chrono::milliseconds timeout) override;
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override;
    bool Purge(PurgeWhat what) override;
    PortStatus LastStatus() const override { return line_->Device().LastStatus(); }
    void SetStopFlag(const std::atomic<bool>* stop) override;
    bool PacedLine() const override { return line_->Device().PacedLine(); }
    void Remark(const std::string& text) override { line_->Device().Remark(text); }

private:
    // A transfer that failed loses the line for good.
    bool Checked(bool ok);

    std::shared_ptr<HeldLine> line_;
    bool open_ = false;
    bool stopWired_ = false;
};

} // namespace talvex
