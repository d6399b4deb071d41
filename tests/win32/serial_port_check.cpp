// The Win32 serial backend against a real driver: run under Wine with the
// port mapped to a zarq-sim started with --erase-ms 3000 (tools/wine-check.sh).
// GoogleTest is not available for the cross build, so each check prints one
// "ok NAME" or "FAIL NAME: why" line; the exit code is the number of failures.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check_report.h"
#include "command_frame.h"
#include "serial_port.h"

using namespace talvex;
using namespace talvex::wine_check;
using Clock = std::chrono::steady_clock;

namespace {

// Scheduling slack on top of a promised time: Wine's server and a loaded
// machine both add a little to every wait.
constexpr long kSlackMs = 60;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

const char* StatusName(PortStatus s) {
    switch (s) {
    case PortStatus::Ok: return "Ok";
    case PortStatus::TimedOut: return "TimedOut";
    case PortStatus::IoError: return "IoError";
    case PortStatus::HungUp: return "HungUp";
    case PortStatus::Stopped: return "Stopped";
    }
    return "?";
}

// Raises the flag after a delay and notes when it did.
class DelayedStop {
public:
    DelayedStop(std::atomic<bool>& flag, int afterMs)
        : thread_([this, &flag, afterMs] {
              std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
              raisedAt_ = Clock::now();
              flag = true;
          }) {}
    ~DelayedStop() { Join(); }
    Clock::time_point Join() {
        if (thread_.joinable()) thread_.join();
        return raisedAt_;
    }

private:
    Clock::time_point raisedAt_;
    std::thread thread_;
};

void SilentLineReadsNothingForTheWholeTimeOut(CSerialPort& port) {
    std::uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    std::size_t received = 99;
    const auto start = Clock::now();
    const bool ok = port.Read(buffer, 1, received);
    const long ms = MsSince(start);
    const long promised = static_cast<long>(CSerialPort::ReadTimeoutMs(9600, 1)); // 210
    std::string problem;
    if (!ok || received != 0 || port.LastStatus() != PortStatus::TimedOut)
        problem = std::string("result ") + (ok ? "true" : "false") + ", " +
                  std::to_string(received) + " bytes, status " + StatusName(port.LastStatus());
    else if (buffer[0] != 0xAA || buffer[1] != 0xAA)
        problem = "the buffer was touched although nothing arrived";
    else if (ms < promised || ms > promised + kSlackMs)
        problem = "took " + std::to_string(ms) + " ms, not " + std::to_string(promised);
    Report("silent line: a 1-byte read at 9600 baud gives 0 bytes after " +
               std::to_string(promised) + " ms (" + std::to_string(ms) + " ms)",
           problem);
}

void IdentificationIsFollowedByAZeroByte(CSerialPort& port, const std::string& id) {
    const std::uint8_t wake = 0x08;
    std::size_t written = 0;
    const bool wrote = port.Write(&wake, 1, written);
    std::vector<std::uint8_t> buffer(25, 0xAA);
    std::size_t received = 0;
    const auto start = Clock::now();
    const bool ok = port.Read(buffer.data(), 24, received);
    const long ms = MsSince(start);
    const long promised = static_cast<long>(CSerialPort::ReadTimeoutMs(9600, 24)); // 233
    std::string problem;
    if (!wrote || written != 1 || !ok)
        problem = "wake byte or read failed";
    else if (received != id.size() || std::memcmp(buffer.data(), id.data(), id.size()) != 0)
        problem = "received " + std::to_string(received) + " bytes \"" +
                  std::string(buffer.begin(), buffer.begin() + received) + "\"";
    else if (buffer[received] != 0)
        problem = "no 0 byte behind the received bytes";
    else if (port.LastStatus() != PortStatus::TimedOut)
        problem = std::string("status ") + StatusName(port.LastStatus());
    else if (ms < promised || ms > promised + kSlackMs)
        problem = "took " + std::to_string(ms) + " ms, not " + std::to_string(promised);
    Report("identification: a 24-byte read gets the text, a 0 byte behind it, after " +
               std::to_string(promised) + " ms (" + std::to_string(ms) + " ms)",
           problem);
}

void StopEndsALongRead(CSerialPort& port) {
    std::atomic<bool> stop{false};
    port.SetStopFlag(&stop);
    std::uint8_t buffer[25] = {};
    std::size_t received = 0;
    bool ok = false;
    Clock::time_point raised;
    Clock::time_point returned;
    {
        DelayedStop stopper(stop, 300);
        ok = port.Read(buffer, 24, received); // 6835 ms at 300 baud
        returned = Clock::now();
        raised = stopper.Join();
    }
    const long latency = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(returned - raised).count());
    std::string problem;
    if (!ok || port.LastStatus() != PortStatus::Stopped)
        problem = std::string("status ") + StatusName(port.LastStatus());
    else if (latency > kStopLatencyMs)
        problem = "ended " + std::to_string(latency) + " ms after the stop";

    // A flag already up ends the next wait before it begins.
    const auto start = Clock::now();
    const bool again = port.Read(buffer, 24, received);
    const long ms = MsSince(start);
    if (problem.empty() && (!again || port.LastStatus() != PortStatus::Stopped || ms > 10))
        problem = "a read with the flag up took " + std::to_string(ms) + " ms, status " +
                  StatusName(port.LastStatus());
    std::size_t written = 99;
    const std::uint8_t wake = 0x08;
    if (problem.empty() && (!port.Write(&wake, 1, written) || written != 0 ||
                            port.LastStatus() != PortStatus::Stopped))
        problem = "a write with the flag up still wrote";
    port.SetStopFlag(nullptr);
    Report("stop: a 24-byte read at 300 baud ends within " + std::to_string(kStopLatencyMs) +
               " ms of the stop (" + std::to_string(latency) + " ms)",
           problem);
}

void StopEndsABlockedWrite(CSerialPort& port) {
    // The line takes 30 bytes a second; the flood backs up once the
    // buffers on the way are full.
    std::size_t written = 0;

    std::atomic<bool> stop{false};
    port.SetStopFlag(&stop);
    const std::vector<std::uint8_t> flood(256 * 1024, 0x00);
    bool ok = false;
    Clock::time_point raised;
    Clock::time_point returned;
    {
        DelayedStop stopper(stop, 500);
        ok = port.Write(flood.data(), flood.size(), written);
        returned = Clock::now();
        raised = stopper.Join();
    }
    port.SetStopFlag(nullptr);
    const long latency = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(returned - raised).count());
    std::string problem;
    if (!ok || port.LastStatus() != PortStatus::Stopped)
        problem = std::string("status ") + StatusName(port.LastStatus()) + ", " +
                  std::to_string(written) + " bytes written";
    else if (written == 0 || written >= flood.size())
        problem = std::to_string(written) + " bytes written; expected part of them";
    else if (latency > kStopLatencyMs)
        problem = "ended " + std::to_string(latency) + " ms after the stop";
    Report("stop: a write held up by the line ends within " + std::to_string(kStopLatencyMs) +
               " ms of the stop (" + std::to_string(latency) + " ms, " + std::to_string(written) +
               " bytes out)",
           problem);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT IDENTIFICATION SLOW-PORT\n", argv[0]);
        return 64;
    }
    const std::string portName = argv[1];
    const std::string id = argv[2];
    const std::string slowName = argv[3];

    CSerialPort port;
    if (!port.Open(portName, "9600")) {
        Report("open " + portName, "cannot open it");
        return g_failures;
    }
    SilentLineReadsNothingForTheWholeTimeOut(port);
    IdentificationIsFollowedByAZeroByte(port, id);
    port.Close();

    if (!port.Open(portName, "300")) {
        Report("open " + portName + " at 300 baud", "cannot open it");
        return g_failures;
    }
    StopEndsALongRead(port);
    port.Close();

    if (!port.Open(slowName, "300")) {
        Report("open " + slowName + " at 300 baud", "cannot open it");
        return g_failures;
    }
    StopEndsABlockedWrite(port);
    port.Close();
    return g_failures;
}
