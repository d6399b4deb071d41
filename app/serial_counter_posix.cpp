#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "serial_counter.h"
#include "system_error_text.h"
#include "unique_fd.h"

namespace talvex {

struct FileLock::State {
    UniqueFd fd;
};

FileLock::FileLock(std::unique_ptr<State> state) : state_(std::move(state)) {}
FileLock::~FileLock() = default;

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait,
                                            std::string& whyNot) {
    // O_NOFOLLOW|O_NONBLOCK: a link or a FIFO planted under the lock's name
    // is refused instead of followed or waited on.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    if (!fd.Valid()) {
        whyNot = path + ": " + ErrnoText(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        whyNot = path + " is not a regular file";
        return nullptr;
    }
    const auto until = std::chrono::steady_clock::now() + wait;
    // Polled rather than blocking, so that a station stopped while holding
    // the lock makes the others give up instead of hanging.
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            whyNot = path + ": " + ErrnoText(errno);
            return nullptr;
        }
        if (std::chrono::steady_clock::now() >= until) {
            whyNot =
                path + " held by another station for " + std::to_string(wait.count() / 1000) + " s";
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    auto state = std::make_unique<State>();
    state->fd = std::move(fd);
    return std::make_unique<FileLock>(std::move(state));
}

} // namespace talvex
