// POSIX backend: a tty opened exclusively, raw 8N1 without flow control, and
// time-outs kept with poll() against a monotonic clock.
//
// Writes drain: Write returns once the driver's output queue is empty (or at
// the write time-out), so that the answer wait that follows is not eaten up
// by the frame's own time on the wire. Some devices cannot tell: a
// pseudo-terminal has no output queue at all, and many USB adapters report
// empty while their own FIFO still sends. So the port also keeps the moment
// at which the bytes written can have left at the line rate, counts a read's
// time-out from there, and never purges output that may still be on its way.

#include "output_drain.h"
#include "serial_port.h"
#include "serial_port_posix_detail.h"
#include "unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace talvex {

namespace {

using Clock = std::chrono::steady_clock;

speed_t StandardSpeed(std::uint32_t baud, bool& found) {
    struct Entry {
        std::uint32_t rate;
        speed_t code;
    };
    static constexpr Entry kTable[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400},
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
bool IsGone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }

int RemainingMs(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Round up so that a poll never ends a hair before the deadline and
    // forces a needless extra round.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

} // namespace

namespace {

// Only a device whose bytes pass a UART is held to its baud rate. A
// pseudo-terminal (no modem lines) carries any number of bytes at once, and
// so does a board that is itself a USB modem (ttyACM); an on-board port
// (ttyS) and a USB-to-serial converter (ttyUSB) are UARTs.
bool CrossesAUart(int fd) {
#if defined(__linux__)
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned kind = major(st.st_rdev);
    return kind == 4 || kind == 188;
#else
    (void)fd;
    return false;
#endif
}

} // namespace

struct CSerialPort::Impl {
    UniqueFd fd;
    bool open = false;
    std::uint32_t baud = 0;
    PortStatus status = PortStatus::Ok;
    std::function<void(const std::string&)> onMessage;
    const std::atomic<bool>* stop = nullptr;
    // The device's own line settings, given back when we let go of it: a
    // terminal named as the port must not be left raw and without echo.
    termios saved{};
    // When the last byte written can have left at the line rate.
    Clock::time_point lineFreeAt{};
    bool paced = false;

    enum class Ready { Yes, TimedOut, Stopped, Failed };

    bool StopRaised() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }

    // Waits for the fd to become ready for `events` until the deadline,
    // looking at the stop flag at least every kStopLatencyMs. Sets the status
    // for every outcome but Yes.
    Ready Wait(short events, Clock::time_point deadline) {
        for (;;) {
            if (StopRaised()) {
                status = PortStatus::Stopped;
                return Ready::Stopped;
            }
            const int slice = std::min(RemainingMs(deadline), kStopLatencyMs);
            pollfd p{fd.Get(), events, 0};
            const int r = ::poll(&p, 1, slice);
            if (r < 0) {
                if (errno == EINTR) continue;
                status = PortStatus::IoError;
                return Ready::Failed;
            }
            if (r == 0) {
                if (Clock::now() < deadline)
                    continue; // a slice ended, or the kernel rounded the sleep down
                status = PortStatus::TimedOut;
                return Ready::TimedOut;
            }
            // Data still queued behind a hang-up is read first; the read
            // that follows then reports the hang-up itself.
            if (p.revents & events) return Ready::Yes;
            status = (p.revents & POLLERR) != 0 && (p.revents & POLLHUP) == 0 ? PortStatus::IoError
                                                                              : PortStatus::HungUp;
            return Ready::Failed;
        }
    }

    bool Fail(int err) {
        status = IsGone(err) ? PortStatus::HungUp : PortStatus::IoError;
        return false;
    }

    // Drops DTR, gives the device its settings back and releases it. DTR is
    // dropped by hand because the saved settings may lack HUPCL.
    bool Release() {
        const int f = fd.Get();
        if (f < 0) return true;
        int bits = TIOCM_DTR;
        (void)::ioctl(f, TIOCMBIC, &bits);
        (void)::tcsetattr(f, TCSANOW, &saved);
        // Let the tty forget the exclusive flag in case someone else holds
        // it open too; the lock goes with the fd.
        (void)::ioctl(f, TIOCNXCL);
        // Linux releases the fd even when close() is interrupted.
        return fd.Close() || errno == EINTR;
    }
};

CSerialPort::CSerialPort() : impl_(std::make_unique<Impl>()) {}

CSerialPort::~CSerialPort() {
    // Nobody is left to show a closing error to.
    if (impl_->open) (void)impl_->Release();
}

std::string CSerialPort::DevicePath(const std::string& port) {
    if (!port.empty() && port[0] == '/') return port;
    // "COMn" (any case, as Windows accepts) is the n-th standard port.
    if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') &&
        (port[1] == 'O' || port[1] == 'o') && (port[2] == 'M' || port[2] == 'm')) {
        unsigned long n = 0;
        bool digits = port.size() <= 3 + 6;
        for (std::size_t i = 3; digits && i < port.size(); ++i) {
            if (port[i] < '0' || port[i] > '9')
                digits = false;
            else
                n = n * 10 + static_cast<unsigned long>(port[i] - '0');
        }
        if (digits && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
    // Any other bare name is a device under /dev, e.g. "ttyUSB0".
    return "/dev/" + port;
}

bool CSerialPort::Open(const std::string& port, const std::string& baudText) {
    Impl& m = *impl_;
    if (m.open) return false;
    std::uint32_t baud = 0;
    if (!ParseBaud(baudText, baud) || port.empty()) return false;

    // Every early return below drops `fd`, which releases the device and
    // its lock at once.
    UniqueFd fd(::open(DevicePath(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return false;

    // TIOCEXCL keeps ordinary users out; root passes it, so the flock is
    // what stops a second instance run as root on the production line.
    if (::ioctl(fd.Get(), TIOCEXCL) != 0) return false;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;

    // Nothing left over from an earlier session may be taken for an answer.
    (void)::tcflush(fd.Get(), TCIOFLUSH);

    termios saved{};
    if (::tcgetattr(fd.Get(), &saved) != 0) return false;
    // From here on a failed step gives the device its settings back before
    // `fd` lets go of it.
    struct RestoreOnFailure {
        int fd;
        const termios& settings;
        bool armed = true;
        ~RestoreOnFailure() {
            if (armed) (void)::tcsetattr(fd, TCSANOW, &settings);
        }
    } restore{fd.Get(), saved};
    termios tio = saved;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
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
    if (standard && ::cfsetspeed(&tio, code) != 0) return false;
    if (::tcsetattr(fd.Get(), TCSANOW, &tio) != 0) return false;
    // tcsetattr succeeds when any part was taken; check that all of it was.
    termios check{};
    if (::tcgetattr(fd.Get(), &check) != 0) return false;
    if ((check.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD)) !=
            (CS8 | CLOCAL | CREAD) ||
        (check.c_iflag & (IXON | IXOFF)) != 0 || (check.c_lflag & ICANON) != 0)
        return false;
    if (standard) {
        if (::cfgetospeed(&check) != code) return false;
    } else if (!detail::SetCustomBaud(fd.Get(), baud)) {
        return false;
    }

    // RTS stays low and DTR goes up last. A pty has no modem lines and
    // answers ENOTTY or EINVAL: that is fine, anything else is not.
    int bits = TIOCM_RTS;
    if (::ioctl(fd.Get(), TIOCMBIC, &bits) != 0 && errno != ENOTTY && errno != EINVAL) return false;
    bits = TIOCM_DTR;
    const bool modemLines = ::ioctl(fd.Get(), TIOCMBIS, &bits) == 0;
    if (!modemLines && errno != ENOTTY && errno != EINVAL) return false;

    restore.armed = false;
    m.saved = saved;
    m.fd = std::move(fd);
    m.baud = baud;
    m.status = PortStatus::Ok;
    m.lineFreeAt = Clock::time_point{};
    m.paced = modemLines && CrossesAUart(m.fd.Get());
    m.open = true;
    return true;
}

bool CSerialPort::Close() {
    Impl& m = *impl_;
    if (!m.open) return false;
    m.open = false;
    if (!m.Release()) {
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
    if (!m.open || buffer == nullptr) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0) return true;

    // An answer cannot come before the frame it answers has left: the wait
    // counts from then, whatever the device said about its queue.
    // A zero time-out is a look at what has come in, not a wait for it.
    const auto begin = timeout.count() > 0 ? std::max(Clock::now(), m.lineFreeAt) : Clock::now();
    const auto deadline = begin + std::max(timeout, std::chrono::milliseconds(0));
    bool ok = true;
    while (received < count) {
        // Waiting first saves a read that would only say EAGAIN: right after
        // a frame the answer is practically never there yet.
        const Impl::Ready ready = m.Wait(POLLIN, deadline);
        if (ready == Impl::Ready::TimedOut || ready == Impl::Ready::Stopped) break;
        if (ready == Impl::Ready::Failed) {
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
    if (received > 0) {
        buffer[received] = 0;
        // Whatever was sent before has crossed by now: a pseudo-terminal
        // takes frames faster than their line rate, and the reckoning must
        // not run ahead of the clock frame after frame.
        m.lineFreeAt = std::min(m.lineFreeAt, Clock::now());
    }
    return ok;
}

bool CSerialPort::Write(const std::uint8_t* data, std::size_t count, std::size_t& written) {
    Impl& m = *impl_;
    written = 0;
    if (!m.open || (data == nullptr && count > 0)) {
        m.status = PortStatus::IoError;
        return false;
    }
    m.status = PortStatus::Ok;
    if (count == 0) return true;
    if (m.StopRaised()) {
        m.status = PortStatus::Stopped;
        return true;
    }

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(WriteTimeoutMs(count));
    std::size_t accepted = 0;
    long stillQueued = 0;
    bool ok = true;
    while (accepted < count) {
        const ssize_t n = ::write(m.fd.Get(), data + accepted, count - accepted);
        if (n > 0) {
            accepted += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            ok = m.Fail(errno);
            break;
        }
        const Impl::Ready ready = m.Wait(POLLOUT, deadline);
        if (ready != Impl::Ready::Yes) {
            ok = ready != Impl::Ready::Failed;
            break;
        }
    }
    if (ok && accepted == count) {
        // tcdrain would block without limit on a line that does not move;
        // this waits the same way, bounded by the write time-out and the
        // stop flag.
        const int f = m.fd.Get();
        int error = 0;
        const auto queued = [f, &error]() -> long {
            int q = 0;
            if (::ioctl(f, TIOCOUTQ, &q) == 0) return q;
            // A device that cannot tell is taken as drained; the line-rate
            // floor below still holds the answer wait back.
            if (errno == ENOTTY || errno == EINVAL) return 0;
            error = errno;
            return -1;
        };
        switch (WaitForOutputDrain(queued, m.baud, deadline, m.stop, stillQueued)) {
        case DrainEnd::Drained: break;
        case DrainEnd::TimedOut: m.status = PortStatus::TimedOut; break;
        case DrainEnd::Stopped: m.status = PortStatus::Stopped; break;
        case DrainEnd::Failed:
            stillQueued = 0;
            ok = m.Fail(error);
            break;
        }
    }
    m.lineFreeAt = std::max(start, m.lineFreeAt) + WireTime(accepted, m.baud);
    const std::size_t left = static_cast<std::size_t>(std::max(stillQueued, 0L));
    written = accepted > left ? accepted - left : 0;
    return ok;
}

bool CSerialPort::Purge(PurgeWhat what) {
    Impl& m = *impl_;
    if (!m.open) return false;
    // Write has drained the driver's queue already; what may still be on its
    // way sits in the device (an adapter's own FIFO), and cutting it off
    // would send the target half a frame. So output is discarded only once
    // the line rate says it has gone; input always is.
    const bool outputGone = Clock::now() >= m.lineFreeAt;
    int queue = 0;
    if (what == PurgeWhat::All)
        queue = outputGone ? TCIOFLUSH : TCIFLUSH;
    else if (outputGone)
        queue = TCOFLUSH;
    else
        return true;
    if (::tcflush(m.fd.Get(), queue) != 0) return m.Fail(errno);
    return true;
}

PortStatus CSerialPort::LastStatus() const { return impl_->status; }

bool CSerialPort::PacedLine() const { return impl_->open && impl_->paced; }

void CSerialPort::SetStopFlag(const std::atomic<bool>* stop) { impl_->stop = stop; }

void CSerialPort::SetMessageHandler(std::function<void(const std::string&)> handler) {
    impl_->onMessage = std::move(handler);
}

} // namespace talvex
