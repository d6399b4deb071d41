#include "unique_fd.h"

#include <cerrno>

#include <unistd.h>

namespace talvex {

bool UniqueFd::Close() {
    const int fd = std::exchange(fd_, -1);
    if (fd < 0) return true;
    return ::close(fd) == 0;
}

bool WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace talvex
