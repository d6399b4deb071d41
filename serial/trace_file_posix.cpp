// The trace file on POSIX. Opened without blocking, so that a FIFO without a
// reader fails at once (ENXIO) instead of waiting for one for ever; kept
// non-blocking, so that a reader that stops reading costs no more than the
// wait asked for, in poll(). A reader that goes away must not end the
// process with SIGPIPE.

#include "trace_file.h"
#include "system_error_text.h"
#include "unique_fd.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

namespace {

using Clock = std::chrono::steady_clock;

// SIGPIPE held back in this thread for one write; one that the write itself
// raised is taken out of the queue again, so that it never arrives.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        wasPending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        held_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &before_) == 0;
    }
    ~PipeSignalHeld() {
        if (!held_) return;
        const int saved = errno;
        if (raised_ && !wasPending_) {
            const timespec none{};
            while (::sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
        errno = saved;
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;
    void Raised() { raised_ = true; }

private:
    sigset_t pipe_{};
    sigset_t before_{};
    bool wasPending_ = false;
    bool held_ = false;
    bool raised_ = false;
};

} // namespace

struct TraceFile::Impl {
    UniqueFd fd;
};

TraceFile::TraceFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TraceFile::~TraceFile() = default;

std::unique_ptr<TraceFile> TraceFile::Open(const std::string& path, std::string& whyNot) {
    if (path.empty()) {
        whyNot = "no file name";
        return nullptr;
    }
    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
    if (!fd.Valid()) {
        const int err = errno;
        struct stat st {};
        if (err == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
            whyNot = "it is a FIFO that no process reads";
        } else {
            whyNot = ErrnoText(err);
        }
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->fd = std::move(fd);
    return std::unique_ptr<TraceFile>(new TraceFile(std::move(impl)));
}

bool TraceFile::Write(const char* data, std::size_t size, std::chrono::milliseconds wait,
                      std::size_t& written, std::string& whyNot) {
    PipeSignalHeld held;
    const auto deadline = Clock::now() + wait;
    written = 0;
    while (written < size) {
        const ssize_t n = ::write(impl_->fd.Get(), data + written, size - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return true;
            pollfd p{impl_->fd.Get(), POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
                whyNot = ErrnoText(errno);
                return false;
            }
            continue;
        }
        if (n < 0 && errno == EPIPE) {
            held.Raised();
            whyNot = "its reader closed it";
            return false;
        }
        whyNot = n < 0 ? ErrnoText(errno) : "the system took none of the bytes";
        return false;
    }
    return true;
}

} // namespace talvex
