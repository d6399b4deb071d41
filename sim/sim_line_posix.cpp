#include "sim_line.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace zarq {

namespace {

std::string Errno(const std::string& what) {
    return what + ": " + std::generic_category().message(errno);
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

bool MakeRaw(int fd, std::uint32_t baud, std::string& error) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        error = Errno("tcgetattr");
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (baud != 0) {
        static const struct {
            std::uint32_t rate;
            speed_t code;
        } rates[] = {{50, B50},         {75, B75},        {110, B110},     {134, B134},
                     {150, B150},       {200, B200},      {300, B300},     {600, B600},
                     {1200, B1200},     {1800, B1800},    {2400, B2400},   {4800, B4800},
                     {9600, B9600},     {19200, B19200},  {38400, B38400}, {57600, B57600},
                     {115200, B115200}, {230400, B230400}};
        speed_t code = 0;
        bool found = false;
        for (const auto& r : rates)
            if (r.rate == baud) {
                code = r.code;
                found = true;
            }
        if (!found) {
            error = std::to_string(baud) + " baud is not a standard rate this device can be set to";
            return false;
        }
        ::cfsetispeed(&t, code);
        ::cfsetospeed(&t, code);
    }
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        error = Errno("tcsetattr");
        return false;
    }
    return true;
}

constexpr std::int64_t kFinalSpinNs = 3'000;

void SpinUntil(std::int64_t deadlineNs) {
    while (MonotonicNs() < deadlineNs) {
    }
}

} // namespace

struct SimLine::Impl {
    Fd line;      // pty master, or the device
    Fd heldSlave; // pty only: keeps the serial end alive between hosts
    Fd wakeRead;
    Fd wakeWrite;
    std::string path;
    bool isPty = false;

    // A sleeping thread wakes tens of microseconds after its deadline, more
    // on a busy machine; at 921600 baud that is several bytes' time. Sleeping
    // to shortly before the deadline and spinning for the rest keeps the
    // emulated line's own error well below what the host under test is
    // measured by. How early to wake follows the overshoot seen lately, so
    // that a quiet machine spins little and a busy one is still on time.
    std::int64_t overshootNs = 20'000; // a running mean
    std::int64_t SpinNs() const {
        return std::clamp<std::int64_t>(2 * overshootNs + 20'000, 20'000, 1'000'000);
    }
    void Woke(std::int64_t wakeAt) {
        const std::int64_t over = std::max<std::int64_t>(0, MonotonicNs() - wakeAt);
        overshootNs += (std::min<std::int64_t>(over, 2'000'000) - overshootNs) / 8;
    }

    bool MakeWakePipe(std::string& error) {
        int p[2];
        if (::pipe(p) != 0) {
            error = Errno("pipe");
            return false;
        }
        wakeRead.Reset(p[0]);
        wakeWrite.Reset(p[1]);
        for (int fd : p) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        return true;
    }
};

SimLine::SimLine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SimLine::~SimLine() = default;

std::unique_ptr<SimLine> SimLine::OpenPty(std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->isPty = true;
    impl->line.Reset(::posix_openpt(O_RDWR | O_NOCTTY));
    const int master = impl->line.Get();
    if (master < 0) {
        error = Errno("posix_openpt");
        return nullptr;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = Errno("grantpt/unlockpt");
        return nullptr;
    }
    char name[PATH_MAX];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        error = Errno("ptsname");
        return nullptr;
    }
    impl->path = name;
    impl->heldSlave.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (impl->heldSlave.Get() < 0) {
        error = Errno("open " + impl->path);
        return nullptr;
    }
    // Raw before any host opens it, so that nothing is echoed or translated.
    if (!MakeRaw(impl->heldSlave.Get(), 0, error)) {
        error = impl->path + ": " + error;
        return nullptr;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!impl->MakeWakePipe(error)) return nullptr;
    return std::unique_ptr<SimLine>(new SimLine(std::move(impl)));
}

std::unique_ptr<SimLine> SimLine::OpenDevice(const std::string& path, std::uint32_t baud,
                                             std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->line.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (impl->line.Get() < 0) {
        error = Errno("open " + path);
        return nullptr;
    }
    if (!MakeRaw(impl->line.Get(), baud, error)) {
        error = path + ": " + error;
        return nullptr;
    }
    if (!impl->MakeWakePipe(error)) return nullptr;
    return std::unique_ptr<SimLine>(new SimLine(std::move(impl)));
}

const std::string& SimLine::Path() const { return impl_->path; }
bool SimLine::IsOpen() const { return impl_->line.Get() >= 0; }
bool SimLine::IsPty() const { return impl_->isPty; }

std::size_t SimLine::Pending() const {
    int n = 0;
    if (::ioctl(impl_->line.Get(), FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<std::size_t>(n);
}

SimLine::Wait SimLine::WaitReadableUntil(std::int64_t deadlineNs, std::string& error) {
#if defined(__linux__)
    // Answers are due to the tenth of a millisecond at high rates; a poll
    // rounded to whole milliseconds would make every one of them late.
    static thread_local const bool tightTimers = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)tightTimers;
    pollfd fds[2] = {{impl_->line.Get(), POLLIN, 0}, {impl_->wakeRead.Get(), POLLIN, 0}};
    for (;;) {
        timespec ts{};
        timespec* limit = nullptr;
        std::int64_t left = -1;
        std::int64_t sleep = 0;
        if (deadlineNs >= 0) {
            left = std::max<std::int64_t>(0, deadlineNs - MonotonicNs());
            // A look at the line costs about a microsecond; the last few are
            // spent on the clock alone, and bytes that come meanwhile are
            // seen right after.
            if (left <= kFinalSpinNs) {
                SpinUntil(deadlineNs);
                return Wait::TimedOut;
            }
            // Wake a little early, then watch the line without sleeping
            // until the deadline itself.
            sleep = left > impl_->SpinNs() ? left - impl_->SpinNs() : 0;
            ts.tv_sec = static_cast<time_t>(sleep / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(sleep % 1'000'000'000);
            limit = &ts;
        }
        const int n = ::ppoll(fds, 2, limit, nullptr);
        if (n < 0) {
            if (errno == EINTR) return Wait::TimedOut;
            error = Errno("poll " + impl_->path);
            return Wait::Failed;
        }
        if (fds[1].revents != 0) return Wait::Woken;
        if (n > 0) return Wait::Readable;
        if (sleep > 0) impl_->Woke(deadlineNs - left + sleep);
        if (left >= 0 && MonotonicNs() >= deadlineNs) return Wait::TimedOut;
    }
#else
    int timeoutMs = -1;
    if (deadlineNs >= 0) {
        const std::int64_t left = std::max<std::int64_t>(0, deadlineNs - MonotonicNs());
        timeoutMs = static_cast<int>(std::min<std::int64_t>((left + 999'999) / 1'000'000, INT_MAX));
    }
    return WaitReadable(timeoutMs, error);
#endif
}

SimLine::Wait SimLine::WaitReadable(int timeoutMs, std::string& error) {
    pollfd fds[2] = {{impl_->line.Get(), POLLIN, 0}, {impl_->wakeRead.Get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) return Wait::TimedOut; // the caller checks its clock and comes back
        error = Errno("poll " + impl_->path);
        return Wait::Failed;
    }
    if (fds[1].revents != 0) return Wait::Woken;
    if (n == 0) return Wait::TimedOut;
    return Wait::Readable; // POLLHUP/POLLERR too: the read tells what happened
}

long SimLine::Read(std::uint8_t* buffer, std::size_t count, std::string& error) {
    const ssize_t n = ::read(impl_->line.Get(), buffer, count);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    error = n == 0 ? impl_->path + ": end of file" : Errno("read " + impl_->path);
    return -1;
}

bool SimLine::Write(const std::uint8_t* data, std::size_t count, std::string& error) {
    const std::int64_t giveUp = MonotonicNs() + 200'000'000;
    while (count > 0) {
        const ssize_t n = ::write(impl_->line.Get(), data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            error = Errno("write " + impl_->path);
            return false;
        }
        const std::int64_t left = giveUp - MonotonicNs();
        if (left <= 0) return true; // nobody takes the bytes; the line drops them
        pollfd fds[2] = {{impl_->line.Get(), POLLOUT, 0}, {impl_->wakeRead.Get(), POLLIN, 0}};
        ::poll(fds, 2, static_cast<int>(left / 1'000'000) + 1);
        if (fds[1].revents != 0) return true;
    }
    return true;
}

bool SimLine::SleepUntil(std::int64_t deadlineNs) {
#if defined(__linux__)
    // The default timer slack of 50 us would make every paced byte late; a
    // line at 115200 baud has 87 us per byte.
    static thread_local const bool tightTimers = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)tightTimers;
#endif
    for (;;) {
        const std::int64_t left = deadlineNs - MonotonicNs();
        if (left <= 0) return true;
        if (left > 2'000'000) {
            // Long waits stay interruptible by Stop.
            pollfd fd{impl_->wakeRead.Get(), POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>((left - 1'000'000) / 1'000'000)) > 0) return false;
            continue;
        }
        if (left <= impl_->SpinNs()) {
            SpinUntil(deadlineNs);
            return true;
        }
        const std::int64_t wakeAt = deadlineNs - impl_->SpinNs();
        timespec ts{static_cast<time_t>(wakeAt / 1'000'000'000),
                    static_cast<long>(wakeAt % 1'000'000'000)};
        if (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == 0)
            impl_->Woke(wakeAt);
    }
}

void SimLine::DrainOutput(int maxMs) {
    if (!IsOpen()) return;
    if (!impl_->isPty) {
        ::tcdrain(impl_->line.Get());
        return;
    }
    // What the host has not read yet waits in the serial end's input queue;
    // closing the master now would throw it away. The kernel moves written
    // bytes over from a worker thread, so an empty queue right after the
    // write may only mean they have not arrived yet: unless they were seen
    // arriving, the queue has to stay empty for a while.
    const std::int64_t start = MonotonicNs();
    const std::int64_t giveUp = start + std::int64_t(maxMs) * 1'000'000;
    constexpr std::int64_t kSettleNs = 20'000'000;
    int emptyChecks = 0;
    bool seen = false;
    while (MonotonicNs() < giveUp) {
        if (!SleepUntil(MonotonicNs() + 1'000'000)) return;
        int pending = 0;
        if (::ioctl(impl_->heldSlave.Get(), FIONREAD, &pending) != 0) return;
        seen = seen || pending > 0;
        emptyChecks = pending == 0 ? emptyChecks + 1 : 0;
        if (emptyChecks >= 2 && (seen || MonotonicNs() - start >= kSettleNs)) return;
    }
}

void SimLine::Close() {
    impl_->line.Reset();
    impl_->heldSlave.Reset();
}

void SimLine::Wake() {
    const std::uint8_t b = 1;
    [[maybe_unused]] const ssize_t n = ::write(impl_->wakeWrite.Get(), &b, 1);
}

std::int64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string p(path, static_cast<std::size_t>(n));
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

bool MakeLink(const std::string& link, const std::string& target, std::string& error) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = "--link " + link + ": a file that is not a symlink is in the way";
            return false;
        }
        // A link left behind by a simulator that was killed.
        if (::unlink(link.c_str()) != 0) {
            error = Errno("--link: cannot replace " + link);
            return false;
        }
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        error = Errno("--link: cannot create " + link);
        return false;
    }
    return true;
}

void RemoveLink(const std::string& link, const std::string& target) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

} // namespace zarq
