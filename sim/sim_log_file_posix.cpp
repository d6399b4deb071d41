// The log file on POSIX: opened without blocking, so that a FIFO without a
// reader fails at once (ENXIO) instead of holding the start for ever, and
// kept non-blocking, so that a reader that stops reading never holds the
// serving loop; only the last lines, at the end, wait for it a short while.

#include "sim_log_file.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <system_error>

namespace zarq {

namespace {

constexpr std::size_t kGatherBytes = 4096;
// Lines a lagging reader may leave waiting before the log is given up.
constexpr std::size_t kBacklogBytes = std::size_t{4} * 1024 * 1024;

// SIGPIPE held back in this thread for one write, and taken out of the queue
// again when the write raised it: a reader that goes away must not end a
// process that embeds the simulator and left the signal as it was.
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
        if (raised_ && !wasPending_) {
            const timespec none{};
            while (::sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
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

std::unique_ptr<SimLogFile> SimLogFile::Open(const std::string& path, std::string& whyNot) {
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        whyNot = err == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)
                     ? "it is a FIFO that no process reads"
                     : std::generic_category().message(err);
        return nullptr;
    }
    return std::unique_ptr<SimLogFile>(new SimLogFile(fd));
}

SimLogFile::~SimLogFile() {
    Finish();
    if (fd_ >= 0) ::close(fd_);
}

void SimLogFile::Write(const std::string& text) {
    if (!failure_.empty()) return;
    pending_ += text;
    if (pending_.size() >= kGatherBytes) Push(0);
}

bool SimLogFile::Finish() {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(kLogStallLimitMs);
    while (!pending_.empty() && failure_.empty()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now()).count();
        if (left <= 0) {
            GiveUp("its reader did not take the last lines within " +
                   std::to_string(kLogStallLimitMs) + " ms");
            break;
        }
        Push(static_cast<int>(left));
    }
    return failure_.empty();
}

void SimLogFile::GiveUp(const std::string& why) {
    failure_ = why;
    pending_.clear();
    pending_.shrink_to_fit();
}

bool SimLogFile::Push(int waitMs) {
    using Clock = std::chrono::steady_clock;
    if (pending_.empty() || !failure_.empty()) return failure_.empty();
    PipeSignalHeld held;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::size_t written = 0;
    while (written < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + written, pending_.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
                GiveUp(std::generic_category().message(errno));
                return false;
            }
            continue;
        }
        if (n < 0 && errno == EPIPE) {
            held.Raised();
            GiveUp("its reader closed it");
        } else {
            GiveUp(n < 0 ? std::generic_category().message(errno)
                         : "the system took none of the bytes");
        }
        return false;
    }
    pending_.erase(0, written);
    if (pending_.empty() || written > 0) {
        stalledSinceNs_ = -1;
        if (pending_.empty()) return true;
    }
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    if (stalledSinceNs_ < 0) stalledSinceNs_ = now;
    if (now - stalledSinceNs_ >= std::int64_t(kLogStallLimitMs) * 1'000'000) {
        GiveUp("its reader took nothing for " + std::to_string(kLogStallLimitMs) + " ms");
        return false;
    }
    if (pending_.size() > kBacklogBytes) {
        GiveUp("its reader did not keep up");
        return false;
    }
    return true;
}

} // namespace zarq
