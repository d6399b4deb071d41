#include "regular_file.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system_error_text.h"
#include "unique_fd.h"

namespace talvex {

std::string NotRegularFileReason(unsigned mode) {
    if (S_ISDIR(mode)) return "not a regular file but a folder";
    if (S_ISFIFO(mode)) return "not a regular file but a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "not a regular file but a device";
    if (S_ISSOCK(mode)) return "not a regular file but a socket";
    return "not a regular file";
}

RegularFile OpenRegularFileForReading(const std::string& path, std::uint64_t maxBytes,
                                      bool /*textMode*/) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        const int error = errno;
        return RegularFile::Failed(error == ENOENT || error == ENOTDIR
                                       ? RegularFileStatus::Missing
                                       : RegularFileStatus::CannotOpen,
                                   ErrnoText(error));
    }
    if (!S_ISREG(info.st_mode)) {
        return RegularFile::Failed(RegularFileStatus::NotRegular,
                                   NotRegularFileReason(info.st_mode));
    }
    // O_NONBLOCK: should a FIFO take the name's place, opening it would wait
    // for a writer. O_NOCTTY: a terminal must never become ours.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) {
        const int error = errno;
        return RegularFile::Failed(
            error == ENOENT ? RegularFileStatus::Missing : RegularFileStatus::CannotOpen,
            ErrnoText(error));
    }
    if (::fstat(fd.Get(), &info) != 0) {
        return RegularFile::Failed(RegularFileStatus::CannotOpen, ErrnoText(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return RegularFile::Failed(RegularFileStatus::NotRegular,
                                   NotRegularFileReason(info.st_mode));
    }
    RegularFile result;
    result.size = static_cast<std::uint64_t>(info.st_size);
    if (result.size > maxBytes) {
        result.status = RegularFileStatus::TooLarge;
        return result;
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd.Get(), "rb");
    if (file == nullptr)
        return RegularFile::Failed(RegularFileStatus::CannotOpen, ErrnoText(errno));
    fd.Release(); // the stream owns it now
    result.file.reset(file);
    result.status = RegularFileStatus::Opened;
    return result;
}

} // namespace talvex
