#include "held_port.h"

namespace talvex {

HeldPort::~HeldPort() {
    if (stopWired_) line_->Device().SetStopFlag(nullptr);
}

bool HeldPort::Open(const std::string& port, const std::string& baud) {
    if (open_) return false;
    ISerialPort& device = line_->Device();
    if (device.IsOpen() && (line_->port != port || line_->baud != baud)) {
        // Settings changed between boards: the device follows them.
        device.Close();
    }
    if (device.IsOpen()) {
        if (!device.Purge(PurgeWhat::All)) return Checked(false);
    } else if (!device.Open(port, baud)) {
        line_->MarkLost();
        return false;
    }
    line_->port = port;
    line_->baud = baud;
    open_ = true;
    return true;
}

bool HeldPort::Close() {
    if (!open_) return false;
    open_ = false;
    if (line_->Lost()) {
        line_->port.clear();
        return line_->Device().Close();
    }
    return true;
}

bool HeldPort::Checked(bool ok) {
    if (!ok) line_->MarkLost();
    return ok;
}

bool HeldPort::Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) {
    return Checked(line_->Device().Read(buffer, count, received));
}

bool HeldPort::ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                       std::chrono::milliseconds timeout) {
    return Checked(line_->Device().ReadFor(buffer, count, received, timeout));
}

bool HeldPort::Write(const std::uint8_t* data, std::size_t count, std::size_t& written) {
    return Checked(line_->Device().Write(data, count, written));
}

bool HeldPort::Purge(PurgeWhat what) { return line_->Device().Purge(what); }

void HeldPort::SetStopFlag(const std::atomic<bool>* stop) {
    line_->Device().SetStopFlag(stop);
    stopWired_ = stop != nullptr;
}

} // namespace talvex
