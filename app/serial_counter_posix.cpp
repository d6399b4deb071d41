#include <cerrno>

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

void FileLock::StateDeleter::operator()(State* state) const { delete state; }

FileLock::StatePtr FileLock::Open(const std::string& path, std::string& whyNot) {
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
    StatePtr state(new State);
    state->fd = std::move(fd);
    return state;
}

FileLock::Try FileLock::TryLock(State& state, const std::string& path, std::string& whyNot) {
    // The lock goes with the open file: closing it, or the end of the
    // process however it ends, releases it.
    if (::flock(state.fd.Get(), LOCK_EX | LOCK_NB) == 0) return Try::Locked;
    if (errno == EWOULDBLOCK || errno == EINTR) return Try::Busy;
    whyNot = path + ": " + ErrnoText(errno);
    return Try::Failed;
}

} // namespace talvex
