#pragma once
// A real port with a fault of the test's making: a test derives from it and
// overrides only the calls that misbehave; every other call goes to the
// real port unchanged.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "serial_port.h"

namespace talvex::testing {

class ForwardingPort : public ISerialPort {
public:
    bool Open(const std::string& port, const std::string& baud) override {
        return real_.Open(port, baud);
    }
    bool Close() override { return real_.Close(); }
    bool IsOpen() const override { return real_.IsOpen(); }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override {
        return real_.Read(buffer, count, received);
    }
    bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                 std::chrono::milliseconds timeout) override {
        return real_.ReadFor(buffer, count, received, timeout);
    }
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override {
        return real_.Write(data, count, written);
    }
    bool Purge(PurgeWhat what) override { return real_.Purge(what); }
    PortStatus LastStatus() const override { return real_.LastStatus(); }
    void SetStopFlag(const std::atomic<bool>* stop) override { real_.SetStopFlag(stop); }
    bool PacedLine() const override { return real_.PacedLine(); }

private:
    CSerialPort real_;
};

} // namespace talvex::testing
