#include "image_file.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>

namespace talvex {

ImageOpenFailure OpenRegularFile(const std::string& path, UniqueFile& file, std::string* whyNot) {
    file.reset();
    auto cannotOpen = [whyNot] {
        if (whyNot) *whyNot = std::strerror(errno);
        return ImageOpenFailure::CannotOpen;
    };
    // Opening a device (NUL, CON, COM1) or a pipe does not wait here; the
    // check on the opened file then refuses everything but a disk file
    // before a byte is read.
    UniqueFile opened(std::fopen(path.c_str(), "rb"));
    if (!opened) return cannotOpen();
    struct _stat64 st {};
    if (_fstat64(_fileno(opened.get()), &st) != 0) return cannotOpen();
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return ImageOpenFailure::NotRegularFile;
    file = std::move(opened);
    return ImageOpenFailure::None;
}

} // namespace talvex
