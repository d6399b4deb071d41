#pragma once
// The one channel to the target's bootloader. Backends live in
// serial_port_posix.cpp and serial_port_win32.cpp.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace talvex {

enum class PurgeWhat { Output, All };

// How the last Read or Write ended, so that callers can tell a silent line
// from a dead one.
enum class PortStatus {
    Ok,       // everything requested was moved
    TimedOut, // the time-out ran out first (a short or empty transfer)
    IoError,  // the device reported an error
    HungUp,   // the device went away (adapter unplugged, peer closed)
    Stopped,  // the owner's stop flag was raised while waiting
};

// How soon a wait of Read or Write notices a raised stop flag, at any baud
// rate: closing a window or Ctrl-C must not wait out a 40 s read at 50 baud.
constexpr int kStopLatencyMs = 50;

// The operations the frame layer and the engine use. CSerialPort is the real
// one; tests put fakes behind it.
class ISerialPort {
public:
    virtual ~ISerialPort() = default;
    // Opens the named port with the fixed line settings at the given baud
    // rate (decimal text). False when the port is open already, missing,
    // busy, or the rate is not a positive decimal integer.
    virtual bool Open(const std::string& port, const std::string& baud) = 0;
    virtual bool Close() = 0;
    virtual bool IsOpen() const = 0;
    // Blocks until count bytes arrived or the read time-out ran out. When at
    // least one byte arrived a 0 byte is stored behind them (buffer must hold
    // count + 1 bytes); when none did the buffer is untouched and the result
    // is still true. False only when the device failed or hung up.
    virtual bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) = 0;
    // Read with a total time-out of its own instead of the baud rate's, for
    // waits that learn how slow the target answers. Counts, like Read, from
    // when the last write has left the line; a zero time-out takes only what
    // has come in already, at once. A fake that keeps no time may leave
    // this to Read.
    virtual bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                         std::chrono::milliseconds timeout) {
        (void)timeout;
        return Read(buffer, count, received);
    }
    virtual bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) = 0;
    virtual bool Purge(PurgeWhat what) = 0;
    virtual PortStatus LastStatus() const = 0;
    // Once *stop is true, every wait of Read and Write ends within
    // kStopLatencyMs with what was moved so far, and LastStatus() is
    // Stopped. The flag must outlive the port's use; nullptr removes it.
    virtual void SetStopFlag(const std::atomic<bool>* stop) { (void)stop; }
    // True when the bytes cross a real line at the baud rate, so that no
    // answer can arrive before its frame has crossed. A pseudo-terminal
    // carries them at once; a port that cannot tell says false.
    virtual bool PacedLine() const { return false; }
    // A remark for whoever watches the line (the trace), such as the answer
    // wait now in force. Ports that keep no trace ignore it.
    virtual void Remark(const std::string& text) { (void)text; }
};

class CSerialPort final : public ISerialPort {
public:
    CSerialPort();
    ~CSerialPort() override; // releases a device still open
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    bool Open(const std::string& port, const std::string& baud) override;
    bool Close() override;
    bool IsOpen() const override;
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override;
    bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                 std::chrono::milliseconds timeout) override;
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override;
    bool Purge(PurgeWhat what) override;
    PortStatus LastStatus() const override;
    void SetStopFlag(const std::atomic<bool>* stop) override;
    bool PacedLine() const override;

    // Where "Port Closing Error." goes; front ends show or print it.
    void SetMessageHandler(std::function<void(const std::string&)> handler);

    // Device path a port name opens: on POSIX "COMn" is /dev/ttyS(n-1) and a
    // name beginning with "/" is used as is; on Windows "//./" + name.
    static std::string DevicePath(const std::string& port);

    // Read time-out in ms for count bytes at baud rate b.
    static std::uint32_t ReadTimeoutMs(std::uint32_t baud, std::size_t count);
    static std::uint32_t WriteTimeoutMs(std::size_t count);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Parses the baud setting: a positive decimal integer that fits 32 bits.
bool ParseBaud(const std::string& text, std::uint32_t& baud);

// Ports that exist and can be opened now, in a stable order.
std::vector<std::string> ListPorts();

} // namespace talvex
