// Win32 backend: a COM device opened exclusively, its line settings handed
// to the driver, synchronous ReadFile/WriteFile. The total time-outs are kept
// here against a monotonic clock and handed to the driver in slices, so that
// a raised stop flag ends any wait within kStopLatencyMs.

#include "serial_port.h"
#include "unique_handle.h"
#include "utf16_win32.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <windows.h>

namespace talvex {

namespace {

// Errors after which the device will not come back: the adapter was pulled
// or the driver gave the handle up.
bool IsGone(DWORD err) {
    return err == ERROR_ACCESS_DENIED || err == ERROR_BAD_COMMAND || err == ERROR_DEVICE_REMOVED ||
           err == ERROR_GEN_FAILURE || err == ERROR_FILE_NOT_FOUND || err == ERROR_INVALID_HANDLE ||
           err == ERROR_DEVICE_NOT_CONNECTED;
}

using Clock = std::chrono::steady_clock;

// The longest single wait handed to the driver. Half the stop latency leaves
// room for the coarse system timer (15.6 ms by default), which may stretch a
// driver time-out past what was asked.
constexpr DWORD kSliceMs = kStopLatencyMs / 2;
static_assert(kSliceMs > 0, "a zero total time-out means 'wait for ever' to the driver");

// Milliseconds left until the deadline, rounded up so that a wait never
// ends before its time-out has run out; 0 once it has.
DWORD RemainingMs(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7ffffffe ? 0x7ffffffe : static_cast<DWORD>(ms);
}

} // namespace

struct CSerialPort::Impl {
    UniqueHandle handle;
    bool open = false;
    std::uint32_t baud = 0;
    DCB dcb{};
    COMMTIMEOUTS timeouts{}; // what the driver holds now
    PortStatus status = PortStatus::Ok;
    std::function<void(const std::string&)> onMessage;
    const std::atomic<bool>* stop = nullptr;

    bool Fail() {
        status = IsGone(GetLastError()) ? PortStatus::HungUp : PortStatus::IoError;
        return false;
    }

    bool Stopping() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }

    // Hands the driver a read or write slice (0 keeps the other direction's
    // value). Only a change costs a call, so the usual one-byte answer read,
    // shorter than a slice at 115200 baud, sets nothing.
    bool SetSlice(DWORD readMs, DWORD writeMs) {
        COMMTIMEOUTS t{}; // no interval time-out, no per-byte part
        t.ReadTotalTimeoutConstant = readMs != 0 ? readMs : timeouts.ReadTotalTimeoutConstant;
        t.WriteTotalTimeoutConstant = writeMs != 0 ? writeMs : timeouts.WriteTotalTimeoutConstant;
        if (std::memcmp(&t, &timeouts, sizeof t) == 0) return true;
        if (!SetCommTimeouts(handle.Get(), &t)) return false;
        timeouts = t;
        return true;
    }
};

CSerialPort::CSerialPort() : impl_(std::make_unique<Impl>()) {}

CSerialPort::~CSerialPort() {
    // The handle's own destructor releases a device still open; nobody is
    // left to show a closing error to.
}

std::string CSerialPort::DevicePath(const std::string& port) { return "//./" + port; }

bool CSerialPort::Open(const std::string& port, const std::string& baudText) {
    Impl& m = *impl_;
    if (m.open) return false;
    std::uint32_t baud = 0;
    if (!ParseBaud(baudText, baud) || port.empty()) return false;

    // Every early return below drops `h`, which releases the device at once.
    // A port name typed by the user may hold any letter.
    const auto device = WideName(DevicePath(port));
    if (!device) return false;
    UniqueHandle h(CreateFileW(device->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    if (!h.Valid()) return false;

    // Some virtual COM drivers refuse the mask or the buffer sizes; the
    // port works without them, so their results are not held against it.
    (void)SetCommMask(h.Get(), EV_RXCHAR);
    (void)SetupComm(h.Get(), 1024, 1024);
    (void)PurgeComm(h.Get(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // The exchange's time-outs as the driver would apply them to a whole
    // transfer. Read and Write keep these same totals themselves and hand
    // the driver slices of them (see Read), so that a stop is not held up.
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(h.Get(), &timeouts)) return false;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 2000 / baud + 1;
    timeouts.ReadTotalTimeoutConstant = 2000000 / baud + 1;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(h.Get(), &timeouts)) return false;

    m.dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h.Get(), &m.dcb)) return false;
    m.dcb.BaudRate = baud;
    m.dcb.fBinary = TRUE;
    m.dcb.fTXContinueOnXoff = TRUE;
    m.dcb.fParity = FALSE;
    m.dcb.fOutxCtsFlow = FALSE;
    m.dcb.fOutxDsrFlow = FALSE;
    m.dcb.fDsrSensitivity = FALSE;
    m.dcb.fOutX = FALSE;
    m.dcb.fInX = FALSE;
    m.dcb.fErrorChar = FALSE;
    m.dcb.fNull = FALSE;
    m.dcb.fAbortOnError = FALSE;
    m.dcb.fDtrControl = DTR_CONTROL_DISABLE;
    m.dcb.fRtsControl = RTS_CONTROL_DISABLE;
    m.dcb.ByteSize = 8;
    m.dcb.Parity = NOPARITY;
    m.dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h.Get(), &m.dcb)) return false;

    (void)EscapeCommFunction(h.Get(), SETDTR);

    m.handle = std::move(h);
    m.baud = baud;
    m.timeouts = timeouts;
    m.status = PortStatus::Ok;
    m.open = true;
    return true;
}

bool CSerialPort::Close() {
    Impl& m = *impl_;
    if (!m.open) return false;
    m.open = false;
    if (!m.handle.Close()) {
        if (m.onMessage) m.onMessage("Port Closing Error.");
        return false;
    }
    return true;
}

bool CSerialPort::IsOpen() const { return impl_->open; }

bool CSerialPort::Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) {
    return ReadFor(buffer, count, received,
                   std::chrono::milliseconds(ReadTimeoutMs(impl_->baud, count)));
}

bool CSerialPort::ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                          std::chrono::milliseconds timeout) {
    Impl& m = *impl_;
    received = 0;
    if (!m.open || buffer == nullptr || count > MAXDWORD) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0) return true;

    // One ReadFile with the whole total would block for up to 40 s at 50
    // baud with no way to look at the stop flag. So the total is kept here
    // and the driver gets it in slices with no interval time-out: each slice
    // ends when the rest has arrived or the slice has run out, exactly like
    // the whole read would, and the bytes simply add up. A silent line thus
    // still ends the read with true and 0 bytes at the total time-out.
    const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    bool ok = true;
    while (received < count) {
        if (m.Stopping()) {
            m.status = PortStatus::Stopped;
            break;
        }
        const DWORD left = RemainingMs(deadline);
        if (left == 0) {
            m.status = PortStatus::TimedOut;
            break;
        }
        if (!m.SetSlice(std::min(left, kSliceMs), 0)) {
            ok = m.Fail();
            break;
        }
        DWORD got = 0;
        const BOOL done = ReadFile(m.handle.Get(), buffer + received,
                                   static_cast<DWORD>(count - received), &got, nullptr);
        received += got;
        if (!done) {
            ok = m.Fail();
            break;
        }
    }
    // Bytes that came before a failure or a stop are handed over all the same.
    if (received > 0) buffer[received] = 0;
    return ok;
}

bool CSerialPort::Write(const std::uint8_t* data, std::size_t count, std::size_t& written) {
    Impl& m = *impl_;
    written = 0;
    if (!m.open || (data == nullptr && count > 0) || count > MAXDWORD) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0) return true;

    // Sliced like Read, for the same reason: a line held up by the driver
    // must not keep a stop waiting for the whole write time-out.
    const auto deadline = Clock::now() + std::chrono::milliseconds(WriteTimeoutMs(count));
    while (written < count) {
        if (m.Stopping()) {
            m.status = PortStatus::Stopped;
            return true;
        }
        const DWORD left = RemainingMs(deadline);
        if (left == 0) {
            m.status = PortStatus::TimedOut;
            return true;
        }
        if (!m.SetSlice(0, std::min(left, kSliceMs))) return m.Fail();
        DWORD put = 0;
        const BOOL done = WriteFile(m.handle.Get(), data + written,
                                    static_cast<DWORD>(count - written), &put, nullptr);
        written += put;
        if (!done) return m.Fail();
    }

    // The answer wait that follows a frame counts from the moment the frame
    // has left, so the write may not return while the driver still holds
    // bytes. A synchronous WriteFile completes when the driver has taken the
    // last byte: the standard serial driver has then handed it to the UART,
    // whose FIFO (16 bytes on a 16550, 1.4 ms at 115200 baud) is all that
    // is left to shift out; a USB adapter's driver has passed it to the
    // adapter, whose own buffer no driver reports. Whatever a driver does
    // still hold it counts in cbOutQue (under Wine that is the tty's output
    // queue), so we wait for that to run empty, bounded by the write
    // time-out and the stop flag. FlushFileBuffers is not used: on a
    // synchronous handle it cannot be bounded (Wine turns it into tcdrain,
    // which blocks for good on a stalled line), and the standard driver
    // completes it when the writes before it complete, which WriteFile has
    // already waited for.
    for (;;) {
        COMSTAT comStat{};
        DWORD errors = 0;
        if (!ClearCommError(m.handle.Get(), &errors, &comStat)) {
            // A driver without a status query has nothing queued we could
            // wait for; a vanished device is reported now rather than later.
            if (IsGone(GetLastError())) return m.Fail();
            return true;
        }
        const std::size_t queued = std::min<std::size_t>(comStat.cbOutQue, written);
        if (queued == 0) return true;
        const bool stopping = m.Stopping();
        if (stopping || RemainingMs(deadline) == 0) {
            m.status = stopping ? PortStatus::Stopped : PortStatus::TimedOut;
            written -= queued;
            return true;
        }
        Sleep(1);
    }
}

bool CSerialPort::Purge(PurgeWhat what) {
    Impl& m = *impl_;
    if (!m.open) return false;
    const DWORD flags = what == PurgeWhat::All
                            ? PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR
                            : PURGE_TXABORT | PURGE_TXCLEAR;
    if (!PurgeComm(m.handle.Get(), flags)) return m.Fail();
    return true;
}

PortStatus CSerialPort::LastStatus() const { return impl_->status; }

// A COM port may be a virtual one (a null-modem pair, or Wine's mapping of a
// pseudo-terminal) that carries bytes faster than its baud rate, and the
// driver does not say which; so no answer is refused for coming too soon.
bool CSerialPort::PacedLine() const { return false; }

void CSerialPort::SetStopFlag(const std::atomic<bool>* stop) { impl_->stop = stop; }

void CSerialPort::SetMessageHandler(std::function<void(const std::string&)> handler) {
    impl_->onMessage = std::move(handler);
}

} // namespace talvex
