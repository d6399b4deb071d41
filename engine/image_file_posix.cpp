#include "image_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

ImageOpenFailure OpenRegularFile(const std::string& path, UniqueFile& file, std::string* whyNot) {
    file.reset();
    auto cannotOpen = [whyNot](int error) {
        if (whyNot) *whyNot = std::strerror(error);
        return ImageOpenFailure::CannotOpen;
    };
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer. O_NOCTTY: a terminal named by mistake must not become ours.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return cannotOpen(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return cannotOpen(error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return ImageOpenFailure::NotRegularFile;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file.reset(::fdopen(fd, "rb"));
    if (!file) {
        const int error = errno;
        ::close(fd);
        return cannotOpen(error);
    }
    return ImageOpenFailure::None;
}

} // namespace talvex
