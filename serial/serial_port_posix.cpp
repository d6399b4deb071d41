// POSIX backend: a tty opened exclusively, raw 8N1 without flow control, and
// time-outs kept with poll() against a monotonic clock.

#include "serial_port.h"
#include "serial_port_posix_detail.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace talvex {

namespace {

using Clock = std::chrono::steady_clock;

// Owns one file descriptor; closing twice is impossible by construction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Gives up ownership and reports whether the kernel released the fd
    // cleanly. On Linux the fd is gone even when close() fails, so it is
    // never retried.
    bool Close()
    {
        const int fd = std::exchange(fd_, -1);
        if (fd < 0)
            return true;
        return ::close(fd) == 0 || errno == EINTR;
    }
    void Reset() { (void)Close(); }

private:
    int fd_ = -1;
};

speed_t StandardSpeed(std::uint32_t baud, bool& found)
{
    struct Entry { std::uint32_t rate; speed_t code; };
    static constexpr Entry kTable[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},
        {150, B150},     {200, B200},       {300, B300},       {600, B600},
        {1200, B1200},   {1800, B1800},     {2400, B2400},     {4800, B4800},
        {9600, B9600},   {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400},
    };
    for (const Entry& e : kTable) {
        if (e.rate == baud) {
            found = true;
            return e.code;
        }
    }
    found = false;
    return B0;
}

// errno values that mean the device itself is gone rather than a passing
// fault: a closed pty master, an unplugged USB adapter, a hung-up line.
bool IsGone(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

int RemainingMs(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    // Round up so that a poll never ends a hair before the deadline and
    // forces a needless extra round.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

} // namespace

struct CSerialPort::Impl {
    UniqueFd fd;
    bool open = false;
    std::uint32_t baud = 0;
    PortStatus status = PortStatus::Ok;
    std::function<void(const std::string&)> onMessage;
    const std::atomic<bool>* stop = nullptr;

    // Waits for the fd to become ready for `events` until the deadline.
    // Returns 1 when ready, 0 on time-out, -1 when the device failed (status
    // set accordingly).
    int Wait(short events, Clock::time_point deadline)
    {
        for (;;) {
            pollfd p{fd.Get(), events, 0};
            const int r = ::poll(&p, 1, RemainingMs(deadline));
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                status = PortStatus::IoError;
                return -1;
            }
            if (r == 0) {
                if (Clock::now() < deadline)
                    continue; // the kernel rounded the sleep down
                return 0;
            }
            // Data still queued behind a hang-up is read first; the read
            // that follows then reports the hang-up itself.
            if (p.revents & events)
                return 1;
            status = (p.revents & POLLERR) != 0 && (p.revents & POLLHUP) == 0
                         ? PortStatus::IoError
                         : PortStatus::HungUp;
            return -1;
        }
    }

    bool Fail(int err)
    {
        status = IsGone(err) ? PortStatus::HungUp : PortStatus::IoError;
        return false;
    }
};

CSerialPort::CSerialPort() : impl_(std::make_unique<Impl>()) {}

CSerialPort::~CSerialPort()
{
    // The fd's own destructor releases a device still open; nobody is left
    // to show a closing error to.
}

std::string CSerialPort::DevicePath(const std::string& port)
{
    if (!port.empty() && port[0] == '/')
        return port;
    // "COMn" (any case, as Windows accepts) is the n-th standard port.
    if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o')
        && (port[2] == 'M' || port[2] == 'm')) {
        unsigned long n = 0;
        bool digits = port.size() <= 3 + 6;
        for (std::size_t i = 3; digits && i < port.size(); ++i) {
            if (port[i] < '0' || port[i] > '9')
                digits = false;
            else
                n = n * 10 + static_cast<unsigned long>(port[i] - '0');
        }
        if (digits && n >= 1)
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    // Any other bare name is a device under /dev, e.g. "ttyUSB0".
    return "/dev/" + port;
}

bool CSerialPort::Open(const std::string& port, const std::string& baudText)
{
    Impl& m = *impl_;
    if (m.open)
        return false;
    std::uint32_t baud = 0;
    if (!ParseBaud(baudText, baud) || port.empty())
        return false;

    // Every early return below drops `fd`, which releases the device and
    // its lock at once.
    UniqueFd fd(::open(DevicePath(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid())
        return false;

    // TIOCEXCL keeps ordinary users out; root passes it, so the flock is
    // what stops a second instance run as root on the production line.
    if (::ioctl(fd.Get(), TIOCEXCL) != 0)
        return false;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        return false;

    // Nothing left over from an earlier session may be taken for an answer.
    (void)::tcflush(fd.Get(), TCIOFLUSH);

    termios tio{};
    if (::tcgetattr(fd.Get(), &tio) != 0)
        return false;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL
                                          | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    // HUPCL drops DTR again when the port is released, as closing the port
    // does on Windows.
    tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    bool standard = false;
    const speed_t code = StandardSpeed(baud, standard);
    if (standard && ::cfsetspeed(&tio, code) != 0)
        return false;
    if (::tcsetattr(fd.Get(), TCSANOW, &tio) != 0)
        return false;
    // tcsetattr succeeds when any part was taken; check that all of it was.
    termios check{};
    if (::tcgetattr(fd.Get(), &check) != 0)
        return false;
    if ((check.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD))
            != (CS8 | CLOCAL | CREAD)
        || (check.c_iflag & (IXON | IXOFF)) != 0 || (check.c_lflag & ICANON) != 0)
        return false;
    if (standard) {
        if (::cfgetospeed(&check) != code)
            return false;
    } else if (!detail::SetCustomBaud(fd.Get(), baud)) {
        return false;
    }

    // RTS stays low and DTR goes up last. A pty has no modem lines and
    // answers ENOTTY or EINVAL: that is fine, anything else is not.
    int bits = TIOCM_RTS;
    if (::ioctl(fd.Get(), TIOCMBIC, &bits) != 0 && errno != ENOTTY && errno != EINVAL)
        return false;
    bits = TIOCM_DTR;
    if (::ioctl(fd.Get(), TIOCMBIS, &bits) != 0 && errno != ENOTTY && errno != EINVAL)
        return false;

    m.fd = std::move(fd);
    m.baud = baud;
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
    // Let the tty forget the exclusive flag in case someone else holds it
    // open too; the lock goes with the fd.
    (void)::ioctl(m.fd.Get(), TIOCNXCL);
    if (!m.fd.Close()) {
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
    if (!m.open || buffer == nullptr) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0)
        return true;

    const auto deadline = Clock::now() + std::chrono::milliseconds(ReadTimeoutMs(m.baud, count));
    bool ok = true;
    while (received < count) {
        // Waiting first saves a read that would only say EAGAIN: right after
        // a frame the answer is practically never there yet.
        const int ready = m.Wait(POLLIN, deadline);
        if (ready == 0) {
            m.status = PortStatus::TimedOut;
            break;
        }
        if (ready < 0) {
            ok = false;
            break;
        }
        const ssize_t n = ::read(m.fd.Get(), buffer + received, count - received);
        if (n > 0) {
            received += static_cast<std::size_t>(n);
        } else if (n == 0) {
            // A tty read with O_NONBLOCK says EAGAIN when idle; 0 is EOF.
            m.status = PortStatus::HungUp;
            ok = false;
            break;
        } else if (errno != EAGAIN && errno != EINTR) {
            ok = m.Fail(errno);
            break;
        }
    }
    // Bytes that came before a failure are handed over all the same.
    if (received > 0)
        buffer[received] = 0;
    return ok;
}

bool CSerialPort::Write(const std::uint8_t* data, std::size_t count, std::size_t& written)
{
    Impl& m = *impl_;
    written = 0;
    if (!m.open || (data == nullptr && count > 0)) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0)
        return true;

    const auto deadline = Clock::now() + std::chrono::milliseconds(WriteTimeoutMs(count));
    while (written < count) {
        const ssize_t n = ::write(m.fd.Get(), data + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return m.Fail(errno);
        const int ready = m.Wait(POLLOUT, deadline);
        if (ready == 0) {
            m.status = PortStatus::TimedOut;
            return true;
        }
        if (ready < 0)
            return false;
    }
    return true;
}

bool CSerialPort::Purge(PurgeWhat what)
{
    Impl& m = *impl_;
    if (!m.open)
        return false;
    if (::tcflush(m.fd.Get(), what == PurgeWhat::All ? TCIOFLUSH : TCOFLUSH) != 0)
        return m.Fail(errno);
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
