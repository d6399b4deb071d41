// The trace file's system calls on POSIX. Opened without blocking, so that
// a FIFO without a reader fails at once (ENXIO) instead of waiting for one
// for ever; kept non-blocking, so that a reader that stops reading costs no
// more than the wait asked for, in poll(). A reader that goes away must not
// end the process with SIGPIPE.

#include "system_error_text.h"
#include "trace_file_detail.h"
#include "unique_fd.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex::detail {

namespace {

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

struct TraceHandle {
    UniqueFd fd;
};

void TraceHandleClose::operator()(TraceHandle* handle) const { delete handle; }

TraceHandlePtr OpenTraceHandle(const std::string& path, std::string& whyNot) {
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
    TraceHandlePtr handle(new TraceHandle);
    handle->fd = std::move(fd);
    return handle;
}

TraceWriteEnd WriteTraceOnce(TraceHandle& handle, const char* data, std::size_t size,
                             std::chrono::milliseconds wait, std::size_t& moved,
                             std::string& whyNot) {
    PipeSignalHeld held;
    const ssize_t n = ::write(handle.fd.Get(), data, size);
    if (n > 0) {
        moved = static_cast<std::size_t>(n);
        return TraceWriteEnd::Took;
    }
    if (n < 0 && errno == EINTR) return TraceWriteEnd::Took;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (wait.count() <= 0) return TraceWriteEnd::Full;
        pollfd p{handle.fd.Get(), POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) < 0 && errno != EINTR) {
            whyNot = ErrnoText(errno);
            return TraceWriteEnd::Failed;
        }
        return TraceWriteEnd::Took;
    }
    if (n < 0 && errno == EPIPE) {
        held.Raised();
        whyNot = "its reader closed it";
        return TraceWriteEnd::Failed;
    }
    whyNot = n < 0 ? ErrnoText(errno) : "the system took none of the bytes";
    return TraceWriteEnd::Failed;
}

} // namespace talvex::detail
