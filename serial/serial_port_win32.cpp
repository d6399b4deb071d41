// Win32 backend: a COM device opened exclusively, its line settings and
// total time-outs handed to the driver, synchronous ReadFile/WriteFile.

#include "serial_port.h"

#include <windows.h>

namespace talvex {

namespace {

// Owns one device handle; closing twice is impossible by construction.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { (void)Close(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            (void)Close();
            h_ = other.h_;
            other.h_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    HANDLE Get() const { return h_; }
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    bool Close()
    {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        if (h == INVALID_HANDLE_VALUE || h == nullptr)
            return true;
        return CloseHandle(h) != 0;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Errors after which the device will not come back: the adapter was pulled
// or the driver gave the handle up.
bool IsGone(DWORD err)
{
    return err == ERROR_ACCESS_DENIED || err == ERROR_BAD_COMMAND || err == ERROR_DEVICE_REMOVED
           || err == ERROR_GEN_FAILURE || err == ERROR_FILE_NOT_FOUND || err == ERROR_INVALID_HANDLE
           || err == ERROR_DEVICE_NOT_CONNECTED;
}

} // namespace

struct CSerialPort::Impl {
    UniqueHandle handle;
    bool open = false;
    DCB dcb{};
    PortStatus status = PortStatus::Ok;
    std::function<void(const std::string&)> onMessage;
    const std::atomic<bool>* stop = nullptr;

    bool Fail()
    {
        status = IsGone(GetLastError()) ? PortStatus::HungUp : PortStatus::IoError;
        return false;
    }
};

CSerialPort::CSerialPort() : impl_(std::make_unique<Impl>()) {}

CSerialPort::~CSerialPort()
{
    // The handle's own destructor releases a device still open; nobody is
    // left to show a closing error to.
}

std::string CSerialPort::DevicePath(const std::string& port)
{
    return "//./" + port;
}

bool CSerialPort::Open(const std::string& port, const std::string& baudText)
{
    Impl& m = *impl_;
    if (m.open)
        return false;
    std::uint32_t baud = 0;
    if (!ParseBaud(baudText, baud) || port.empty())
        return false;

    // Every early return below drops `h`, which releases the device at once.
    UniqueHandle h(CreateFileA(DevicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    if (!h.Valid())
        return false;

    // Some virtual COM drivers refuse the mask or the buffer sizes; the
    // port works without them, so their results are not held against it.
    (void)SetCommMask(h.Get(), EV_RXCHAR);
    (void)SetupComm(h.Get(), 1024, 1024);
    (void)PurgeComm(h.Get(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(h.Get(), &timeouts))
        return false;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 2000 / baud + 1;
    timeouts.ReadTotalTimeoutConstant = 2000000 / baud + 1;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(h.Get(), &timeouts))
        return false;

    m.dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h.Get(), &m.dcb))
        return false;
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
    if (!SetCommState(h.Get(), &m.dcb))
        return false;

    (void)EscapeCommFunction(h.Get(), SETDTR);

    m.handle = std::move(h);
    m.status = PortStatus::Ok;
    m.open = true;
    return true;
}

bool CSerialPort::Close()
{
    Impl& m = *impl_;
    if (!m.open)
        return false;
    m.open = false;
    if (!m.handle.Close()) {
        if (m.onMessage)
            m.onMessage("Port Closing Error.");
        return false;
    }
    return true;
}

bool CSerialPort::IsOpen() const
{
    return impl_->open;
}

bool CSerialPort::Read(std::uint8_t* buffer, std::size_t count, std::size_t& received)
{
    Impl& m = *impl_;
    received = 0;
    if (!m.open || buffer == nullptr || count > MAXDWORD) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0)
        return true;
    // The driver keeps the total time-out set at Open.
    DWORD got = 0;
    const BOOL ok = ReadFile(m.handle.Get(), buffer, static_cast<DWORD>(count), &got, nullptr);
    received = got;
    if (received > 0)
        buffer[received] = 0;
    if (!ok)
        return m.Fail();
    if (received < count)
        m.status = PortStatus::TimedOut;
    return true;
}

bool CSerialPort::Write(const std::uint8_t* data, std::size_t count, std::size_t& written)
{
    Impl& m = *impl_;
    written = 0;
    if (!m.open || (data == nullptr && count > 0) || count > MAXDWORD) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0)
        return true;
    DWORD put = 0;
    const BOOL ok = WriteFile(m.handle.Get(), data, static_cast<DWORD>(count), &put, nullptr);
    written = put;
    if (!ok)
        return m.Fail();
    if (written < count)
        m.status = PortStatus::TimedOut;
    return true;
}

bool CSerialPort::Purge(PurgeWhat what)
{
    Impl& m = *impl_;
    if (!m.open)
        return false;
    const DWORD flags = what == PurgeWhat::All
                            ? PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR
                            : PURGE_TXABORT | PURGE_TXCLEAR;
    if (!PurgeComm(m.handle.Get(), flags))
        return m.Fail();
    return true;
}

PortStatus CSerialPort::LastStatus() const
{
    return impl_->status;
}

void CSerialPort::SetStopFlag(const std::atomic<bool>* stop)
{
    impl_->stop = stop;
}

void CSerialPort::SetMessageHandler(std::function<void(const std::string&)> handler)
{
    impl_->onMessage = std::move(handler);
}

} // namespace talvex
